"""Builds a platform wheel that carries the gpuproc library.

Without GPUPROC_LIBRARY, ``pip install ./python`` builds the library with the
project's CMake (Release, the library alone) from the sources around this
folder, which takes a C++20 compiler, CMake, nlohmann-json and (Linux) libpci
with pkg-config. GPUPROC_LIBRARY
names a library built already (for example build/libgpuproc.so; a relative
name is taken from the directory pip was started in). Either way the file is
copied into the package as libgpuproc.so. The wheel holds native code, so it
is tagged for this platform (py3-none-<plat>), never as a pure py3-none-any
wheel. A GPUPROC_LIBRARY ending in .dll (the 64-bit Windows DLL, which
scripts/windows-release.sh cross-builds) is carried as gpuproc.dll in a
py3-none-win_amd64 wheel, whatever platform builds it.

The project's LICENSE, found beside this folder, goes into the wheel's
.dist-info.

GPUPROC_SYSTEM_LIBRARY=1 builds the package without a library, pure Python:
it then loads the system's libgpuproc.so.0 (Debian's python3-gpuproc, beside
libgpuproc0).
"""
import os
import shutil
import subprocess

from setuptools import setup
from setuptools.command.build_py import build_py
from setuptools.dist import Distribution
from wheel.bdist_wheel import bdist_wheel

HERE = os.path.dirname(os.path.abspath(__file__))
PROJECT = os.path.dirname(HERE)
SYSTEM_LIBRARY = os.environ.get("GPUPROC_SYSTEM_LIBRARY") == "1"
WINDOWS_DLL = os.environ.get("GPUPROC_LIBRARY", "").lower().endswith(".dll")


def named_library(name):
    """The file GPUPROC_LIBRARY names."""
    # pip runs this script in the package's folder, not where it was started;
    # the shell that started it left that directory in PWD.
    candidates = [name] if os.path.isabs(name) else [
        os.path.join(folder, name) for folder in (os.environ.get("PWD"), os.getcwd()) if folder]
    for candidate in candidates:
        if os.path.isfile(candidate):
            return candidate
    raise SystemExit(f"GPUPROC_LIBRARY={name} names no file (looked for {' and '.join(candidates)})")


def drop_foreign_cache(build):
    """Removes a build folder whose CMake cache was made for other paths.

    pip builds inside python/, so the folder travels with a checkout that is
    moved or copied; CMake then refuses the cache, which names the source and
    build folders it was made in."""
    cache = os.path.join(build, "CMakeCache.txt")
    try:
        with open(cache, encoding="utf-8", errors="replace") as lines:
            entries = dict(line.rstrip("\n").split("=", 1) for line in lines
                           if "=" in line and not line.startswith(("#", "//")))
    except FileNotFoundError:
        return
    made_for = [entries.get(key + ":INTERNAL", "") for key in ("CMAKE_HOME_DIRECTORY", "CMAKE_CACHEFILE_DIR")]
    if [os.path.realpath(path) for path in made_for] != [os.path.realpath(PROJECT), os.path.realpath(build)]:
        shutil.rmtree(build)


def built_library(build_temp):
    """Builds the library with the project's CMake; the built file."""
    if not os.path.isfile(os.path.join(PROJECT, "CMakeLists.txt")):
        raise SystemExit(f"no gpuproc sources around {HERE} to build the library from: "
                         "set GPUPROC_LIBRARY to a built libgpuproc.so")
    cmake = shutil.which("cmake")
    if cmake is None:
        raise SystemExit("building the gpuproc library needs CMake and a C++20 compiler "
                         "(or GPUPROC_LIBRARY naming a built libgpuproc.so)")
    build = os.path.join(os.path.abspath(build_temp), "gpuproc-library")
    drop_foreign_cache(build)
    jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
    subprocess.run([cmake, "-S", PROJECT, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
                    "-DGPUPROC_BUILD_TESTS=OFF", "-DGPUPROC_BUILD_TOOLS=OFF"], check=True)
    subprocess.run([cmake, "--build", build, "--target", "gpuproc", "--parallel", jobs], check=True)
    return os.path.join(build, "libgpuproc.so")


class BuildWithLibrary(build_py):
    def run(self):
        super().run()
        if SYSTEM_LIBRARY:
            return
        name = os.environ.get("GPUPROC_LIBRARY")
        library = named_library(name) if name else built_library(
            self.get_finalized_command("build").build_temp)
        names = ["gpuproc.dll", "libgpuproc.so"] if WINDOWS_DLL else ["libgpuproc.so", "gpuproc.dll"]
        target, other = (os.path.join(self.build_lib, "gpuproc", name) for name in names)
        # A build folder used before for the other platform still holds its library.
        if os.path.exists(other):
            os.remove(other)
        # The build tree's name is a link chain to the versioned file: copy the file.
        shutil.copyfile(os.path.realpath(library), target)


class NativeDistribution(Distribution):
    # Native code installs into platlib, at the wheel's root.
    def has_ext_modules(self):
        return not SYSTEM_LIBRARY


class PlatformWheel(bdist_wheel):
    # Any Python 3 loads the library through ctypes: no ABI tag.
    def get_tag(self):
        if SYSTEM_LIBRARY:
            return super().get_tag()
        if WINDOWS_DLL:
            return "py3", "none", "win_amd64"
        _, _, platform = super().get_tag()
        return "py3", "none", platform

    @property
    def license_paths(self):
        paths = list(super().license_paths)
        project_license = os.path.join(PROJECT, "LICENSE")
        if os.path.isfile(project_license) and "LICENSE" not in map(os.path.basename, paths):
            paths.append(project_license)
        return paths


setup(distclass=NativeDistribution, cmdclass={"build_py": BuildWithLibrary, "bdist_wheel": PlatformWheel})
