"""Builds a platform wheel that carries the library built by the project's CMake.

GPUPROC_LIBRARY names the built libgpuproc.so (for example
build/libgpuproc.so); it is copied into the package as libgpuproc.so. The
wheel holds native code, so it is tagged for this platform (py3-none-<plat>),
never as a pure py3-none-any wheel.
"""
import os
import shutil

from setuptools import setup
from setuptools.command.build_py import build_py
from setuptools.dist import Distribution
from wheel.bdist_wheel import bdist_wheel


class BuildWithLibrary(build_py):
    def run(self):
        super().run()
        library = os.environ.get("GPUPROC_LIBRARY")
        if not library or not os.path.isfile(library):
            raise SystemExit("GPUPROC_LIBRARY must name the built libgpuproc.so "
                             "(cmake --build build --target gpuproc)")
        target = os.path.join(self.build_lib, "gpuproc", "libgpuproc.so")
        # The build tree's name is a link chain to the versioned file: copy the file.
        shutil.copyfile(os.path.realpath(library), target)


class NativeDistribution(Distribution):
    # Native code installs into platlib, at the wheel's root.
    def has_ext_modules(self):
        return True


class PlatformWheel(bdist_wheel):
    # Any Python 3 loads the library through ctypes: no ABI tag.
    def get_tag(self):
        _, _, platform = super().get_tag()
        return "py3", "none", platform


setup(distclass=NativeDistribution, cmdclass={"build_py": BuildWithLibrary, "bdist_wheel": PlatformWheel})
