import glob
import os

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

sources = sorted(glob.glob("quotra/client/*.cpp"))
headers = sorted(glob.glob("quotra/client/*.hpp"))
# The health counters' reader, quotra._monitor: built from the client's own
# headers, so the layout it reads is the one the client has.
monitor_sources = ["quotra/health/monitor.cpp"]
# Clients that end without ending the loop, quotra._quiet, for quotra.feed:
# built from the client's headers too, for its layout and native table.
quiet_sources = ["quotra/hooks/quiet.cpp", "quotra/hooks/feed_buffer.cpp"]
# The native price message is a module of its own: pricetape_proto uses it
# without quotra.quotra, and quotra.quotra reaches it through its capsule.
native_sources = sorted(glob.glob("quotra/native/*.cpp"))
native_headers = sorted(glob.glob("quotra/native/*.h") + glob.glob("quotra/native/*.hpp"))

extra = ["-std=c++20", "-fno-strict-aliasing", "-Wall", "-Wextra", "-fvisibility=hidden"]
link = []
if os.environ.get("QUOTRA_SANITIZE"):
    # Instrumented build: the test runner preloads the sanitizer runtime.
    extra += ["-fsanitize=address,undefined", "-fno-omit-frame-pointer", "-O1", "-g"]
    link += ["-fsanitize=address,undefined"]
else:
    extra += ["-O2"]



class BuildExt(build_ext):
    """Strips the shared objects of a build that is installed or put in a
    wheel. The in-place build of a working copy keeps its symbols (the
    benchmark's profile reads them by name), and so do the instrumented and
    the debug (``build_ext --debug``) builds."""

    def build_extension(self, ext):
        if not (self.inplace or self.debug or os.environ.get("QUOTRA_SANITIZE")):
            ext.extra_link_args = [*ext.extra_link_args, "-s"]
        super().build_extension(ext)


setup(
    cmdclass={"build_ext": BuildExt},
    ext_modules=[
        Extension(
            "quotra.quotra",
            sources=sources,
            depends=headers + native_headers,
            language="c++",
            extra_compile_args=extra,
            extra_link_args=link,
        ),
        Extension(
            "quotra._monitor",
            sources=monitor_sources,
            depends=headers,
            language="c++",
            extra_compile_args=extra,
            extra_link_args=link,
        ),
        Extension(
            "quotra._quiet",
            sources=quiet_sources,
            depends=headers + sorted(glob.glob("quotra/hooks/*.hpp")),
            language="c++",
            extra_compile_args=extra,
            extra_link_args=link,
        ),
        Extension(
            "quotra._pricetape",
            sources=native_sources,
            depends=native_headers,
            language="c++",
            extra_compile_args=extra,
            extra_link_args=link,
        ),
    ]
)
