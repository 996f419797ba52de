/* A pdh.dll that serves a scripted machine, for running the real gpuproc.dll
 * end to end under Wine (WINEDLLOVERRIDES=pdh=n) or on Windows, loaded from
 * the folder of the host.
 *
 * It implements the PDH functions gpuproc.dll imports (and PdhAddCounterW,
 * which earlier builds imported) the way Microsoft documents them: status
 * codes, the size request with PDH_MORE_DATA, double-NUL lists, counter
 * statuses, rate counters that need two collections, wildcard instances,
 * names in the system's display language with English names for
 * PdhAddEnglishCounterW, and an object list that PdhEnumObjectItemsW reads
 * from the last enumeration unless PdhEnumObjectsW refreshes it.
 *
 * Its counter objects are those of a real Windows: every object has one
 * instance per process or adapter, so a path without an instance is added
 * and then fails at the read with PDH_CSTATUS_NO_INSTANCE; "GPU Adapter
 * Memory" has "Dedicated Usage", "Shared Usage" and "Total Committed", and no
 * "Free" unless the scenario serves one.
 *
 * The machine comes from the environment variable GPUPROC_PDH_SCENARIO, read
 * when the DLL is loaded: items separated by ";".
 *   lang=de                     names in German; English ones only through
 *                               PdhAddEnglishCounterW
 *   free=served                 "GPU Adapter Memory" has a "Free" counter
 *   open=fail[:<code>]          PdhOpenQueryW fails; with a code, it sets the
 *                               thread's last error to it first
 *   fill=moredata               the first fill request of PdhEnumObjectItemsW
 *                               answers PDH_MORE_DATA, as when the list grew
 *                               after its size request
 *   absent=<Object>[\<Counter>] the object, or one of its counters, is missing
 *   [later:|gone:]\<Object>[(<Instance>)]\<Counter>=<v>[,<v>...]|-
 *       a value of an instance (or of the object, without one), by English
 *       names. The n-th value is read after the counter's n-th collection
 *       (the last one repeats); "-" has no data. "later:" instances appear
 *       only after ScriptedPdhAdvance; "gone:" instances are listed but have
 *       exited before they can be sampled.
 * Two exports of its own: ScriptedPdhAdvance (what "later:" waits for) and
 * ScriptedPdhOpenQueries (queries not yet closed), which also tell a host
 * that this DLL is the one loaded. */
#include <pdh.h>
#include <pdhmsg.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>

#define MAX_ENTRIES 128
#define MAX_VALUES 8
#define MAX_NAME 256
#define QUERY_MAGIC 0x51455259u
#define COUNTER_MAGIC 0x434f554eu

typedef struct {
  const wchar_t* english;
  const wchar_t* german;
  int rate; /* formatted from two collections */
  DWORD type;
} CounterSchema;

typedef struct {
  const wchar_t* english;
  const wchar_t* german;
  const CounterSchema* counters;
  int counterCount;
} ObjectSchema;

static const CounterSchema kProcessMemoryCounters[] = {
    {L"Dedicated Usage", L"Dedizierte Nutzung", 0, PERF_COUNTER_LARGE_RAWCOUNT},
    {L"Local Usage", L"Lokale Nutzung", 0, PERF_COUNTER_LARGE_RAWCOUNT},
    {L"Shared Usage", L"Freigegebene Nutzung", 0, PERF_COUNTER_LARGE_RAWCOUNT},
    {L"Total Committed", L"Zugesichert gesamt", 0, PERF_COUNTER_LARGE_RAWCOUNT},
};
static const CounterSchema kEngineCounters[] = {
    {L"Running Time", L"Laufzeit", 0, PERF_COUNTER_LARGE_RAWCOUNT},
    {L"Utilization Percentage", L"Auslastung in Prozent", 1, PERF_100NSEC_TIMER},
};
static const CounterSchema kAdapterMemoryCounters[] = {
    {L"Dedicated Usage", L"Dedizierte Nutzung", 0, PERF_COUNTER_LARGE_RAWCOUNT},
    {L"Free", L"Frei", 0, PERF_COUNTER_LARGE_RAWCOUNT},
    {L"Shared Usage", L"Freigegebene Nutzung", 0, PERF_COUNTER_LARGE_RAWCOUNT},
    {L"Total Committed", L"Zugesichert gesamt", 0, PERF_COUNTER_LARGE_RAWCOUNT},
};
#define OBJECT_COUNT 3
#define ADAPTER_MEMORY_OBJECT 2
#define ADAPTER_FREE_COUNTER 1
#define MAX_COUNTERS 4
static const ObjectSchema kObjects[OBJECT_COUNT] = {
    {L"GPU Process Memory", L"GPU-Prozessspeicher", kProcessMemoryCounters, 4},
    {L"GPU Engine", L"GPU-Modul", kEngineCounters, 2},
    {L"GPU Adapter Memory", L"GPU-Adapterspeicher", kAdapterMemoryCounters, 4},
};

typedef struct {
  int object;
  int counter;
  wchar_t instance[MAX_NAME];
  int hasInstance;
  double values[MAX_VALUES];
  int valueCount;
  int phase; /* 0, or 1 for "later:" */
  int gone;
} Entry;

typedef struct Counter {
  DWORD magic;
  struct Query* query;
  struct Counter* next;
  int object;
  int counter;
  wchar_t instance[MAX_NAME];
  int hasInstance;
  int wildcard;
  int collections;
  int collectedPhase;
  DWORD_PTR userData;
} Counter;

typedef struct Query {
  DWORD magic;
  struct Query* next;
  Counter* counters;
  DWORD_PTR userData;
} Query;

static CRITICAL_SECTION lock;
static int german;
static int openFails;
static int fillMoreData;
static DWORD openLastError;
static int objectAbsent[OBJECT_COUNT];
static int counterAbsent[OBJECT_COUNT][MAX_COUNTERS];
static Entry entries[MAX_ENTRIES];
static int entryCount;
static int phase;
static int listedPhase = -1; /* the cached object list; -1 before the first enumeration */
static Query* queries;

static const wchar_t* ObjectName(int object, int english) {
  return english || !german ? kObjects[object].english : kObjects[object].german;
}

static const wchar_t* CounterName(int object, int counter, int english) {
  const CounterSchema* schema = &kObjects[object].counters[counter];
  return english || !german ? schema->english : schema->german;
}

/* PDH compares names without regard to case. */
static int FindObject(const wchar_t* name, size_t length, int english) {
  for (int object = 0; object < OBJECT_COUNT; ++object) {
    const wchar_t* candidate = ObjectName(object, english);
    if (!objectAbsent[object] && wcslen(candidate) == length &&
        _wcsnicmp(candidate, name, length) == 0) {
      return object;
    }
  }
  return -1;
}

static int FindCounter(int object, const wchar_t* name, int english) {
  for (int counter = 0; counter < kObjects[object].counterCount; ++counter) {
    if (!counterAbsent[object][counter] &&
        _wcsicmp(CounterName(object, counter, english), name) == 0) {
      return counter;
    }
  }
  return -1;
}

/* "\Object(Instance)\Counter" or "\Object\Counter", with an optional
 * "\\machine" in front. The instance runs to the last ")\" so that it may hold
 * parentheses itself. */
typedef struct {
  const wchar_t* object;
  size_t objectLength;
  wchar_t instance[MAX_NAME];
  int hasInstance;
  const wchar_t* counter;
} ParsedPath;

static int ParsePath(const wchar_t* path, ParsedPath* parsed) {
  memset(parsed, 0, sizeof(*parsed));
  if (path[0] == L'\\' && path[1] == L'\\') {
    path = wcschr(path + 2, L'\\');
    if (path == NULL) return 0;
  }
  if (path[0] != L'\\') return 0;
  parsed->object = path + 1;
  const wchar_t* open = wcschr(parsed->object, L'(');
  const wchar_t* slash = wcschr(parsed->object, L'\\');
  if (slash == NULL) return 0;
  if (open != NULL && open < slash) {
    const wchar_t* close = NULL;
    for (const wchar_t* at = open; (at = wcsstr(at, L")\\")) != NULL; ++at) close = at;
    if (close == NULL || (size_t)(close - open - 1) >= MAX_NAME) return 0;
    parsed->objectLength = (size_t)(open - parsed->object);
    wcsncpy(parsed->instance, open + 1, (size_t)(close - open - 1));
    parsed->hasInstance = 1;
    parsed->counter = close + 2;
  } else {
    parsed->objectLength = (size_t)(slash - parsed->object);
    parsed->counter = slash + 1;
  }
  return parsed->objectLength > 0 && parsed->counter[0] != L'\0' &&
         wcschr(parsed->counter, L'\\') == NULL;
}

static void ParseItem(wchar_t* item) {
  if (wcscmp(item, L"free=served") == 0) {
    counterAbsent[ADAPTER_MEMORY_OBJECT][ADAPTER_FREE_COUNTER] = 0;
    return;
  }
  if (wcscmp(item, L"fill=moredata") == 0) {
    fillMoreData = 1;
    return;
  }
  if (wcscmp(item, L"lang=de") == 0) {
    german = 1;
    return;
  }
  if (wcsncmp(item, L"open=fail", 9) == 0) {
    openFails = 1;
    if (item[9] == L':') openLastError = wcstoul(item + 10, NULL, 10);
    return;
  }
  if (wcsncmp(item, L"absent=", 7) == 0) {
    wchar_t* name = item + 7;
    wchar_t* counterName = wcschr(name, L'\\');
    if (counterName != NULL) *counterName++ = L'\0';
    const int object = FindObject(name, wcslen(name), 1);
    if (object < 0) return;
    if (counterName == NULL) {
      objectAbsent[object] = 1;
    } else {
      const int counter = FindCounter(object, counterName, 1);
      if (counter >= 0) counterAbsent[object][counter] = 1;
    }
    return;
  }
  if (entryCount == MAX_ENTRIES) return;
  Entry* entry = &entries[entryCount];
  memset(entry, 0, sizeof(*entry));
  if (wcsncmp(item, L"later:", 6) == 0) {
    entry->phase = 1;
    item += 6;
  } else if (wcsncmp(item, L"gone:", 5) == 0) {
    entry->gone = 1;
    item += 5;
  }
  wchar_t* values = wcschr(item, L'=');
  if (values == NULL) return;
  *values++ = L'\0';
  ParsedPath parsed;
  if (!ParsePath(item, &parsed)) return;
  entry->object = FindObject(parsed.object, parsed.objectLength, 1);
  if (entry->object < 0) return;
  wchar_t counterName[MAX_NAME];
  wcsncpy(counterName, parsed.counter, MAX_NAME - 1);
  counterName[MAX_NAME - 1] = L'\0';
  entry->counter = FindCounter(entry->object, counterName, 1);
  if (entry->counter < 0) return;
  wcscpy(entry->instance, parsed.instance);
  entry->hasInstance = parsed.hasInstance;
  if (wcscmp(values, L"-") != 0) {
    for (wchar_t* value = values; entry->valueCount < MAX_VALUES && *value != L'\0';) {
      wchar_t* end = NULL;
      entry->values[entry->valueCount++] = wcstod(value, &end);
      value = *end == L',' ? end + 1 : end + wcslen(end);
    }
  }
  ++entryCount;
}

/* Objects and counters named as absent are applied before any value, so the
 * order of items does not matter for them. */
static void LoadScenario(void) {
  static wchar_t text[32768];
  /* Windows has no "Free" in "GPU Adapter Memory". */
  counterAbsent[ADAPTER_MEMORY_OBJECT][ADAPTER_FREE_COUNTER] = 1;
  const DWORD length = GetEnvironmentVariableW(L"GPUPROC_PDH_SCENARIO", text, 32768);
  if (length == 0 || length >= 32768) return;
  for (int pass = 0; pass < 2; ++pass) {
    static wchar_t copy[32768];
    wcscpy(copy, text);
    for (wchar_t* item = copy; item != NULL;) {
      wchar_t* next = wcschr(item, L';');
      if (next != NULL) *next++ = L'\0';
      const int isAbsent = wcsncmp(item, L"absent=", 7) == 0 || wcscmp(item, L"free=served") == 0;
      if (*item != L'\0' && isAbsent == (pass == 0)) ParseItem(item);
      item = next;
    }
  }
}

static int MatchesWildcard(const wchar_t* pattern, const wchar_t* text) {
  if (*pattern == L'\0') return *text == L'\0';
  if (*pattern == L'*') {
    for (const wchar_t* rest = text;; ++rest) {
      if (MatchesWildcard(pattern + 1, rest)) return 1;
      if (*rest == L'\0') return 0;
    }
  }
  return *text != L'\0' && towlower(*pattern) == towlower(*text) &&
         MatchesWildcard(pattern + 1, text + 1);
}

static int EntryListed(const Entry* entry, int atPhase) { return entry->phase <= atPhase; }
static int EntryLive(const Entry* entry, int atPhase) {
  return entry->phase <= atPhase && !entry->gone;
}

/* Whether an earlier entry already named the same instance of the object. */
static int SeenBefore(int index, int (*present)(const Entry*, int), int atPhase) {
  for (int earlier = 0; earlier < index; ++earlier) {
    if (entries[earlier].object == entries[index].object && entries[earlier].hasInstance &&
        present(&entries[earlier], atPhase) &&
        _wcsicmp(entries[earlier].instance, entries[index].instance) == 0) {
      return 1;
    }
  }
  return 0;
}

static Query* FindQuery(PDH_HQUERY handle) {
  for (Query* query = queries; query != NULL; query = query->next) {
    if (query == (Query*)handle && query->magic == QUERY_MAGIC) return query;
  }
  return NULL;
}

static Counter* FindCounterHandle(PDH_HCOUNTER handle) {
  for (Query* query = queries; query != NULL; query = query->next) {
    for (Counter* counter = query->counters; counter != NULL; counter = counter->next) {
      if (counter == (Counter*)handle && counter->magic == COUNTER_MAGIC) return counter;
    }
  }
  return NULL;
}

/* The value of one instance (or of the object) at the counter's last
 * collection, as a PDH_CSTATUS_* code. */
static DWORD ReadInstance(const Counter* counter, const wchar_t* instance, int hasInstance,
                          double* value) {
  if (counter->collections == 0) return PDH_CSTATUS_INVALID_DATA;
  const int rate = kObjects[counter->object].counters[counter->counter].rate;
  if (rate && counter->collections < 2) return PDH_CSTATUS_INVALID_DATA;
  /* Every object here has instances: the object itself has no value. */
  if (!hasInstance) return PDH_CSTATUS_NO_INSTANCE;
  int instanceLive = 0;
  for (int index = 0; index < entryCount; ++index) {
    const Entry* entry = &entries[index];
    if (entry->object != counter->object || !EntryLive(entry, counter->collectedPhase) ||
        entry->hasInstance != hasInstance ||
        (hasInstance && _wcsicmp(entry->instance, instance) != 0)) {
      continue;
    }
    instanceLive = 1;
    if (entry->counter != counter->counter || entry->valueCount == 0) continue;
    const int collection =
        counter->collections < entry->valueCount ? counter->collections : entry->valueCount;
    *value = entry->values[collection - 1];
    return PDH_CSTATUS_VALID_DATA;
  }
  return instanceLive ? PDH_CSTATUS_INVALID_DATA : PDH_CSTATUS_NO_INSTANCE;
}

static PDH_STATUS FormatValue(double value, DWORD format, PDH_FMT_COUNTERVALUE* formatted) {
  if (format & PDH_FMT_DOUBLE) {
    formatted->doubleValue = value;
  } else if (format & PDH_FMT_LARGE) {
    formatted->largeValue = (LONGLONG)value;
  } else if (format & PDH_FMT_LONG) {
    formatted->longValue = (LONG)value;
  } else {
    return PDH_INVALID_ARGUMENT;
  }
  return ERROR_SUCCESS;
}

/* Copies a double-NUL list into a caller's buffer of `*length` characters, or
 * asks for more. */
static PDH_STATUS FillList(const wchar_t* list, DWORD needed, wchar_t* buffer, LPDWORD length) {
  if (buffer == NULL || *length < needed) {
    *length = needed;
    return PDH_MORE_DATA;
  }
  memcpy(buffer, list, needed * sizeof(wchar_t));
  *length = needed;
  return ERROR_SUCCESS;
}

static DWORD AppendName(wchar_t* list, DWORD used, const wchar_t* name) {
  const DWORD length = (DWORD)wcslen(name) + 1;
  memcpy(list + used, name, length * sizeof(wchar_t));
  return used + length;
}

static PDH_STATUS AddCounter(PDH_HQUERY handle, LPCWSTR path, DWORD_PTR userData,
                             PDH_HCOUNTER* result, int english) {
  Query* query = FindQuery(handle);
  if (query == NULL) return PDH_INVALID_HANDLE;
  if (path == NULL || result == NULL) return PDH_INVALID_ARGUMENT;
  ParsedPath parsed;
  if (!ParsePath(path, &parsed)) return PDH_CSTATUS_BAD_COUNTERNAME;
  const int object = FindObject(parsed.object, parsed.objectLength, english);
  if (object < 0) return PDH_CSTATUS_NO_OBJECT;
  const int counterIndex = FindCounter(object, parsed.counter, english);
  if (counterIndex < 0) return PDH_CSTATUS_NO_COUNTER;
  Counter* counter = calloc(1, sizeof(Counter));
  if (counter == NULL) return PDH_MEMORY_ALLOCATION_FAILURE;
  counter->magic = COUNTER_MAGIC;
  counter->query = query;
  counter->object = object;
  counter->counter = counterIndex;
  wcscpy(counter->instance, parsed.instance);
  counter->hasInstance = parsed.hasInstance;
  counter->wildcard = wcschr(parsed.instance, L'*') != NULL;
  counter->userData = userData;
  counter->next = query->counters;
  query->counters = counter;
  *result = counter;
  return ERROR_SUCCESS;
}

static void Unlink(Counter* counter) {
  for (Counter** link = &counter->query->counters; *link != NULL; link = &(*link)->next) {
    if (*link == counter) {
      *link = counter->next;
      break;
    }
  }
  counter->magic = 0;
  free(counter);
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)instance;
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) {
    InitializeCriticalSection(&lock);
    LoadScenario();
  } else if (reason == DLL_PROCESS_DETACH) {
    DeleteCriticalSection(&lock);
  }
  return TRUE;
}

PDH_STATUS WINAPI PdhOpenQueryW(LPCWSTR dataSource, DWORD_PTR userData, PDH_HQUERY* result) {
  if (result == NULL) return PDH_INVALID_ARGUMENT;
  if (dataSource != NULL) return PDH_FILE_NOT_FOUND; /* no log files here */
  if (openFails) {
    if (openLastError != 0) SetLastError(openLastError);
    return PDH_MEMORY_ALLOCATION_FAILURE;
  }
  Query* query = calloc(1, sizeof(Query));
  if (query == NULL) return PDH_MEMORY_ALLOCATION_FAILURE;
  query->magic = QUERY_MAGIC;
  query->userData = userData;
  EnterCriticalSection(&lock);
  query->next = queries;
  queries = query;
  LeaveCriticalSection(&lock);
  *result = query;
  return ERROR_SUCCESS;
}

PDH_STATUS WINAPI PdhAddCounterW(PDH_HQUERY query, LPCWSTR path, DWORD_PTR userData,
                                 PDH_HCOUNTER* counter) {
  EnterCriticalSection(&lock);
  const PDH_STATUS status = AddCounter(query, path, userData, counter, 0);
  LeaveCriticalSection(&lock);
  return status;
}

PDH_STATUS WINAPI PdhAddEnglishCounterW(PDH_HQUERY query, LPCWSTR path, DWORD_PTR userData,
                                        PDH_HCOUNTER* counter) {
  EnterCriticalSection(&lock);
  const PDH_STATUS status = AddCounter(query, path, userData, counter, 1);
  LeaveCriticalSection(&lock);
  return status;
}

PDH_STATUS WINAPI PdhCollectQueryData(PDH_HQUERY handle) {
  EnterCriticalSection(&lock);
  Query* query = FindQuery(handle);
  PDH_STATUS status = query == NULL ? (PDH_STATUS)PDH_INVALID_HANDLE : ERROR_SUCCESS;
  if (query != NULL && query->counters == NULL) status = PDH_NO_DATA;
  if (status == ERROR_SUCCESS) {
    for (Counter* counter = query->counters; counter != NULL; counter = counter->next) {
      ++counter->collections;
      counter->collectedPhase = phase;
    }
  }
  LeaveCriticalSection(&lock);
  return status;
}

PDH_STATUS WINAPI PdhGetFormattedCounterValue(PDH_HCOUNTER handle, DWORD format, LPDWORD type,
                                              PPDH_FMT_COUNTERVALUE value) {
  if (value == NULL) return PDH_INVALID_ARGUMENT;
  EnterCriticalSection(&lock);
  const Counter* counter = FindCounterHandle(handle);
  PDH_STATUS status = PDH_INVALID_HANDLE;
  if (counter != NULL) {
    if (type != NULL) *type = kObjects[counter->object].counters[counter->counter].type;
    double raw = 0;
    /* A wildcard counter has one value per instance and none of its own. */
    value->CStatus = counter->wildcard
                         ? PDH_CSTATUS_INVALID_DATA
                         : ReadInstance(counter, counter->instance, counter->hasInstance, &raw);
    if (value->CStatus == PDH_CSTATUS_VALID_DATA) {
      status = FormatValue(raw, format, value);
    } else if (value->CStatus == PDH_CSTATUS_NO_INSTANCE) {
      status = PDH_CSTATUS_NO_INSTANCE;
    } else {
      status = PDH_INVALID_DATA;
    }
  }
  LeaveCriticalSection(&lock);
  return status;
}

/* The instances the counter matched at its last collection, and the bytes an
 * array of items of `itemSize` needs for them and their names. */
static DWORD MatchInstances(const Counter* counter, int* matched, size_t itemSize, DWORD* needed) {
  DWORD count = 0;
  *needed = 0;
  for (int index = 0; index < entryCount; ++index) {
    const Entry* entry = &entries[index];
    if (entry->object != counter->object || !entry->hasInstance ||
        !EntryLive(entry, counter->collectedPhase) ||
        SeenBefore(index, EntryLive, counter->collectedPhase) ||
        !MatchesWildcard(counter->instance, entry->instance)) {
      continue;
    }
    matched[count++] = index;
    *needed += (DWORD)(itemSize + (wcslen(entry->instance) + 1) * sizeof(wchar_t));
  }
  return count;
}

PDH_STATUS WINAPI PdhGetFormattedCounterArrayW(PDH_HCOUNTER handle, DWORD format,
                                               LPDWORD bufferSize, LPDWORD itemCount,
                                               PPDH_FMT_COUNTERVALUE_ITEM_W items) {
  if (bufferSize == NULL || itemCount == NULL) return PDH_INVALID_ARGUMENT;
  EnterCriticalSection(&lock);
  const Counter* counter = FindCounterHandle(handle);
  PDH_STATUS status = counter == NULL ? (PDH_STATUS)PDH_INVALID_HANDLE : ERROR_SUCCESS;
  if (status == ERROR_SUCCESS && counter->collections == 0) status = PDH_INVALID_DATA;
  if (status == ERROR_SUCCESS) {
    int matched[MAX_ENTRIES];
    DWORD needed = 0;
    const DWORD count =
        MatchInstances(counter, matched, sizeof(PDH_FMT_COUNTERVALUE_ITEM_W), &needed);
    if (items == NULL || *bufferSize < needed) {
      if (needed > 0) status = PDH_MORE_DATA;
    } else {
      /* The items first, then the names they point to. */
      wchar_t* names = (wchar_t*)(items + count);
      for (DWORD item = 0; item < count; ++item) {
        const Entry* entry = &entries[matched[item]];
        items[item].szName = names;
        names += AppendName(names, 0, entry->instance);
        double raw = 0;
        items[item].FmtValue.CStatus = ReadInstance(counter, entry->instance, 1, &raw);
        items[item].FmtValue.doubleValue = 0;
        if (items[item].FmtValue.CStatus == PDH_CSTATUS_VALID_DATA &&
            FormatValue(raw, format, &items[item].FmtValue) != ERROR_SUCCESS) {
          status = PDH_INVALID_ARGUMENT;
        }
      }
    }
    *bufferSize = needed;
    *itemCount = count;
  }
  LeaveCriticalSection(&lock);
  return status;
}

/* Raw values are the scenario's numbers as integers: "Running Time" counts
 * 100 ns units. */
PDH_STATUS WINAPI PdhGetRawCounterArrayW(PDH_HCOUNTER handle, LPDWORD bufferSize, LPDWORD itemCount,
                                         PPDH_RAW_COUNTER_ITEM_W items) {
  if (bufferSize == NULL || itemCount == NULL) return PDH_INVALID_ARGUMENT;
  EnterCriticalSection(&lock);
  const Counter* counter = FindCounterHandle(handle);
  PDH_STATUS status = counter == NULL ? (PDH_STATUS)PDH_INVALID_HANDLE : ERROR_SUCCESS;
  if (status == ERROR_SUCCESS && counter->collections == 0) status = PDH_INVALID_DATA;
  if (status == ERROR_SUCCESS) {
    int matched[MAX_ENTRIES];
    DWORD needed = 0;
    const DWORD count = MatchInstances(counter, matched, sizeof(PDH_RAW_COUNTER_ITEM_W), &needed);
    if (items == NULL || *bufferSize < needed) {
      if (needed > 0) status = PDH_MORE_DATA;
    } else {
      wchar_t* names = (wchar_t*)(items + count);
      for (DWORD item = 0; item < count; ++item) {
        const Entry* entry = &entries[matched[item]];
        memset(&items[item].RawValue, 0, sizeof(items[item].RawValue));
        items[item].szName = names;
        names += AppendName(names, 0, entry->instance);
        double raw = 0;
        items[item].RawValue.CStatus = ReadInstance(counter, entry->instance, 1, &raw);
        if (items[item].RawValue.CStatus == PDH_CSTATUS_VALID_DATA) {
          items[item].RawValue.FirstValue = (LONGLONG)raw;
        }
      }
    }
    *bufferSize = needed;
    *itemCount = count;
  }
  LeaveCriticalSection(&lock);
  return status;
}

PDH_STATUS WINAPI PdhRemoveCounter(PDH_HCOUNTER handle) {
  EnterCriticalSection(&lock);
  Counter* counter = FindCounterHandle(handle);
  if (counter != NULL) Unlink(counter);
  LeaveCriticalSection(&lock);
  return counter == NULL ? (PDH_STATUS)PDH_INVALID_HANDLE : ERROR_SUCCESS;
}

PDH_STATUS WINAPI PdhCloseQuery(PDH_HQUERY handle) {
  EnterCriticalSection(&lock);
  Query* query = FindQuery(handle);
  if (query != NULL) {
    while (query->counters != NULL) Unlink(query->counters);
    for (Query** link = &queries; *link != NULL; link = &(*link)->next) {
      if (*link == query) {
        *link = query->next;
        break;
      }
    }
    query->magic = 0;
    free(query);
  }
  LeaveCriticalSection(&lock);
  return query == NULL ? (PDH_STATUS)PDH_INVALID_HANDLE : ERROR_SUCCESS;
}

PDH_STATUS WINAPI PdhEnumObjectsW(LPCWSTR dataSource, LPCWSTR machine, PZZWSTR list, LPDWORD length,
                                  DWORD detailLevel, WINBOOL refresh) {
  (void)machine;
  (void)detailLevel;
  if (length == NULL) return PDH_INVALID_ARGUMENT;
  if (dataSource != NULL) return PDH_FILE_NOT_FOUND;
  EnterCriticalSection(&lock);
  if (refresh || listedPhase < 0) listedPhase = phase;
  wchar_t names[OBJECT_COUNT * MAX_NAME + 1];
  DWORD used = 0;
  for (int object = 0; object < OBJECT_COUNT; ++object) {
    if (!objectAbsent[object]) used = AppendName(names, used, ObjectName(object, 0));
  }
  names[used++] = L'\0';
  const PDH_STATUS status = FillList(names, used, list, length);
  LeaveCriticalSection(&lock);
  return status;
}

PDH_STATUS WINAPI PdhEnumObjectItemsW(LPCWSTR dataSource, LPCWSTR machine, LPCWSTR objectName,
                                      PZZWSTR counterList, LPDWORD counterLength,
                                      PZZWSTR instanceList, LPDWORD instanceLength,
                                      DWORD detailLevel, DWORD flags) {
  (void)machine;
  (void)detailLevel;
  (void)flags;
  if (objectName == NULL || counterLength == NULL || instanceLength == NULL) {
    return PDH_INVALID_ARGUMENT;
  }
  if (dataSource != NULL) return PDH_FILE_NOT_FOUND;
  EnterCriticalSection(&lock);
  const int object = FindObject(objectName, wcslen(objectName), 0);
  PDH_STATUS status = object < 0 ? (PDH_STATUS)PDH_CSTATUS_NO_OBJECT : ERROR_SUCCESS;
  if (status == ERROR_SUCCESS) {
    /* Instances as they were at the last enumeration, not as they are now. */
    if (listedPhase < 0) listedPhase = phase;
    static wchar_t counters[MAX_COUNTERS * MAX_NAME + 1];
    static wchar_t instances[MAX_ENTRIES * MAX_NAME + 1];
    DWORD counterUsed = 0;
    for (int counter = 0; counter < kObjects[object].counterCount; ++counter) {
      if (!counterAbsent[object][counter]) {
        counterUsed = AppendName(counters, counterUsed, CounterName(object, counter, 0));
      }
    }
    counters[counterUsed++] = L'\0';
    DWORD instanceUsed = 0;
    for (int index = 0; index < entryCount; ++index) {
      const Entry* entry = &entries[index];
      if (entry->object == object && entry->hasInstance && EntryListed(entry, listedPhase) &&
          !SeenBefore(index, EntryListed, listedPhase)) {
        instanceUsed = AppendName(instances, instanceUsed, entry->instance);
      }
    }
    /* An object without instances has an empty instance list: length 0. */
    if (instanceUsed > 0) instances[instanceUsed++] = L'\0';

    if ((counterUsed > 0 && (counterList == NULL || *counterLength < counterUsed)) ||
        (instanceUsed > 0 && (instanceList == NULL || *instanceLength < instanceUsed))) {
      status = PDH_MORE_DATA;
    } else if (fillMoreData && instanceList != NULL) {
      /* An instance joined since the size request: room for one more name. */
      fillMoreData = 0;
      status = PDH_MORE_DATA;
      instanceUsed += MAX_NAME;
    } else {
      if (counterList != NULL) memcpy(counterList, counters, counterUsed * sizeof(wchar_t));
      if (instanceList != NULL) memcpy(instanceList, instances, instanceUsed * sizeof(wchar_t));
    }
    *counterLength = counterUsed;
    *instanceLength = instanceUsed;
  }
  LeaveCriticalSection(&lock);
  return status;
}

PDH_STATUS WINAPI PdhGetCounterInfoW(PDH_HCOUNTER handle, BOOLEAN explainText, LPDWORD bufferSize,
                                     PPDH_COUNTER_INFO_W info) {
  (void)explainText;
  if (bufferSize == NULL) return PDH_INVALID_ARGUMENT;
  EnterCriticalSection(&lock);
  const Counter* counter = FindCounterHandle(handle);
  PDH_STATUS status = counter == NULL ? (PDH_STATUS)PDH_INVALID_HANDLE : ERROR_SUCCESS;
  if (status == ERROR_SUCCESS) {
    /* The counter's path in the system's language, whichever way it was added. */
    const wchar_t* machine = L"\\\\SCRIPTED";
    const wchar_t* object = ObjectName(counter->object, 0);
    const wchar_t* counterName = CounterName(counter->object, counter->counter, 0);
    wchar_t fullPath[4 * MAX_NAME];
    wcscpy(fullPath, machine);
    wcscat(fullPath, L"\\");
    wcscat(fullPath, object);
    if (counter->hasInstance) {
      wcscat(fullPath, L"(");
      wcscat(fullPath, counter->instance);
      wcscat(fullPath, L")");
    }
    wcscat(fullPath, L"\\");
    wcscat(fullPath, counterName);
    const wchar_t* strings[] = {fullPath, machine, object, counter->instance, counterName};
    DWORD needed = sizeof(PDH_COUNTER_INFO_W);
    for (int index = 0; index < 5; ++index) {
      needed += (DWORD)((wcslen(strings[index]) + 1) * sizeof(wchar_t));
    }
    if (info == NULL || *bufferSize < needed) {
      status = PDH_MORE_DATA;
    } else {
      memset(info, 0, sizeof(*info));
      info->dwLength = needed;
      info->dwType = kObjects[counter->object].counters[counter->counter].type;
      info->CStatus = PDH_CSTATUS_VALID_DATA;
      info->dwUserData = counter->userData;
      info->dwQueryUserData = counter->query->userData;
      wchar_t* next = (wchar_t*)(info + 1);
      wchar_t* copies[5];
      for (int index = 0; index < 5; ++index) {
        copies[index] = next;
        next += AppendName(next, 0, strings[index]);
      }
      info->szFullPath = copies[0];
      info->CounterPath.szMachineName = copies[1];
      info->CounterPath.szObjectName = copies[2];
      info->CounterPath.szInstanceName = counter->hasInstance ? copies[3] : NULL;
      info->CounterPath.szCounterName = copies[4];
    }
    *bufferSize = needed;
  }
  LeaveCriticalSection(&lock);
  return status;
}

/* The machine moves on: instances scripted as "later:" appear. */
void WINAPI ScriptedPdhAdvance(void) {
  EnterCriticalSection(&lock);
  ++phase;
  LeaveCriticalSection(&lock);
}

int WINAPI ScriptedPdhOpenQueries(void) {
  EnterCriticalSection(&lock);
  int count = 0;
  for (const Query* query = queries; query != NULL; query = query->next) ++count;
  LeaveCriticalSection(&lock);
  return count;
}
