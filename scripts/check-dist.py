"""What a built distribution holds, checked and told:

    python scripts/check-dist.py WHEEL [SDIST]

The wheel holds no C++ source or header and only stripped shared objects (no
symbol table, no debug sections); its size, compressed and unpacked, is
printed. The sdist, when given, holds every source and header the extensions
are built from (those of this checkout). Exit 1 with what is wrong.
Run by scripts/check-package.sh and scripts/check-wheel.sh.
"""

import io
import os
import sys
import tarfile
import zipfile

from elftools.elf.elffile import ELFFile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SOURCES = (".cpp", ".hpp", ".h")
UNSTRIPPED = (".symtab", ".debug_info", ".debug_line")


def check_wheel(path: str) -> list[str]:
    faults = []
    with zipfile.ZipFile(path) as whl:
        infos = whl.infolist()
        for info in infos:
            if info.filename.endswith(SOURCES):
                faults.append(f"{info.filename}: a C++ source in the wheel")
            elif ".so" in os.path.basename(info.filename):
                elf = ELFFile(io.BytesIO(whl.read(info)))
                kept = [name for name in UNSTRIPPED if elf.get_section_by_name(name) is not None]
                if kept:
                    faults.append(f"{info.filename}: not stripped (has {', '.join(kept)})")
                print(f"  {info.filename}: {info.file_size / 1024:.0f} KiB")
    unpacked = sum(i.file_size for i in infos)
    print(
        f"{os.path.basename(path)}: {os.path.getsize(path) / 1024:.0f} KiB, "
        f"{unpacked / 1024:.0f} KiB unpacked, {len(infos)} files"
    )
    return faults


def check_sdist(path: str) -> list[str]:
    wanted = {
        os.path.relpath(os.path.join(d, f), ROOT)
        for top in ("client", "native", "health")
        for d, _, files in os.walk(os.path.join(ROOT, "quotra", top))
        for f in files
        if f.endswith(SOURCES)
    }
    with tarfile.open(path) as tar:
        have = {name.split("/", 1)[1] for name in tar.getnames() if "/" in name}
    missing = sorted(wanted - have)
    print(f"{os.path.basename(path)}: {len(wanted & have)} C++ sources and headers")
    return [f"{name}: missing from the sdist" for name in missing]


def main(argv: list[str]) -> int:
    if not 1 <= len(argv) <= 2:
        print(__doc__, file=sys.stderr)
        return 2
    faults = check_wheel(argv[0]) + (check_sdist(argv[1]) if len(argv) == 2 else [])
    for fault in faults:
        print(f"FAILED: {fault}", file=sys.stderr)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
