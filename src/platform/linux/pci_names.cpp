// GPU names for DRM devices: the vendor and device ids from sysfs looked up
// in the PCI ID database through libpci, kept for the library's life so the
// database is parsed only for a GPU not named before.
#include "platform/linux/pci_names.h"

extern "C" {
#include <pci/pci.h>
}

#include <charconv>
#include <csetjmp>
#include <optional>

#include "platform/linux/number_text.h"
#include "platform/linux/utf16.h"

namespace gpuproc {
namespace {

// libpci's default handlers print, and its error handler then exits; a
// library must do neither. Its error handler may not return either (libpci
// declares it noreturn), so it leaves the lookup for the caller's frame.
thread_local std::jmp_buf* abandonLookup = nullptr;
// The GNU spelling: clang makes it part of the function type, as libpci's
// pointer is declared.
__attribute__((noreturn)) void AbandonLookup(char* /*format*/, ...) {
  std::longjmp(*abandonLookup, 1);
}
void IgnoreMessage(char* /*format*/, ...) {}

// Only C frames lie between the setjmp and the longjmp; nothing here has a
// destructor to skip.
const char* LookUp(pci_access* access, char* buffer, int size, std::uint16_t vendor,
                   std::uint16_t device, bool& abandoned) {
  std::jmp_buf jump;
  if (setjmp(jump) != 0) {
    abandonLookup = nullptr;
    abandoned = true;
    return nullptr;
  }
  abandonLookup = &jump;
  const char* name = pci_lookup_name(
      access, buffer, size,
      PCI_LOOKUP_VENDOR | PCI_LOOKUP_DEVICE | PCI_LOOKUP_NO_NUMBERS | PCI_LOOKUP_NO_HWDB,
      static_cast<int>(vendor), static_cast<int>(device));
  abandonLookup = nullptr;
  return name;
}

// "0x1002\n", as sysfs writes a PCI id.
std::optional<std::uint16_t> ParseId(std::optional<std::string> text) {
  if (!text || text->size() < 3 || text->compare(0, 2, "0x") != 0) return std::nullopt;
  std::uint16_t id = 0;
  const char* end = text->data() + text->size();
  while (end > text->data() && (end[-1] == '\n' || end[-1] == ' ')) --end;
  const auto [stop, error] = std::from_chars(text->data() + 2, end, id, 16);
  if (error != std::errc() || stop != end) return std::nullopt;
  return id;
}

}  // namespace

PciNameDatabase::PciNameDatabase(const char* idsFile)
    : idsFile_(idsFile != nullptr ? idsFile : "") {}

PciNameDatabase::~PciNameDatabase() { ReleaseTables(); }

void PciNameDatabase::ReleaseTables() {
  if (access_ != nullptr) pci_cleanup(access_);
  access_ = nullptr;
  abandoned_ = false;
}

std::string PciNameDatabase::Name(std::uint16_t vendor, std::uint16_t device) {
  const std::uint32_t key = static_cast<std::uint32_t>(vendor) << 16 | device;
  if (const auto known = names_.find(key); known != names_.end()) return known->second;
  if (access_ == nullptr) {
    access_ = pci_alloc();
    if (access_ == nullptr) return {};
    access_->error = &AbandonLookup;
    access_->warning = &IgnoreMessage;
    access_->debug = &IgnoreMessage;
    // No cache in the host's home folder, no DNS.
    access_->id_lookup_mode = 0;
    if (!idsFile_.empty()) pci_set_name_list_path(access_, idsFile_.data(), 0);
  }
  if (abandoned_) return {};
  char buffer[512];
  const char* found = LookUp(access_, buffer, sizeof buffer, vendor, device, abandoned_);
  if (abandoned_) return {};
  // The database is meant to be UTF-8; a report must be, whatever the file holds.
  std::string name = found != nullptr ? Utf16ToUtf8(Utf8ToUtf16(found)) : std::string();
  names_.emplace(key, name);
  return name;
}

std::string PciNameDatabase::DescribeSysfsDevice(const HostFs& fs, std::string_view sysfsDevice,
                                                 std::string_view address) {
  const std::string folder(sysfsDevice);
  const std::optional<std::uint16_t> vendor = ParseId(fs.ReadSysFile(folder + "/vendor"));
  const std::optional<std::uint16_t> device = ParseId(fs.ReadSysFile(folder + "/device"));
  if (vendor && device) {
    std::string name = Name(*vendor, *device);
    if (!name.empty()) return name;
  }
  const std::optional<std::string> driver = fs.ReadSysLink(folder + "/driver");
  std::string name = driver ? Utf16ToUtf8(Utf8ToUtf16(LastComponent(*driver))) : std::string();
  if (!name.empty()) name += ' ';
  return name + std::string(address);
}

PciNameDatabase& SharedPciNameDatabase() {
  static PciNameDatabase database;
  return database;
}

}  // namespace gpuproc
