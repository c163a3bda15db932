"""Checks the programs inside a wheel: the extension module exports its init function alone,
and neither it nor the doctor needs a C++ library of the target system (theirs is inside,
with hidden symbols); the unwinder they share with glibc is the system's libgcc_s. Usage: wheel_symbols.py WHEEL; exits 1 and says why otherwise."""

import io
import sys
import zipfile

from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile

SYSTEM_CXX_LIBRARIES = ("libstdc++", "libc++")


def needed(elf):
    section = next(s for s in elf.iter_sections() if isinstance(s, DynamicSection))
    return [tag.needed for tag in section.iter_tags() if tag.entry.d_tag == "DT_NEEDED"]


def exported(elf):
    table = elf.get_section_by_name(".dynsym")
    return sorted(
        symbol.name for symbol in table.iter_symbols()
        if symbol["st_shndx"] != "SHN_UNDEF" and symbol.name
        and symbol["st_info"]["bind"] in ("STB_GLOBAL", "STB_WEAK")
    )


def problems(wheel_path):
    found = []
    with zipfile.ZipFile(wheel_path) as wheel:
        names = wheel.namelist()
        modules = [n for n in names if n.startswith("vorlix_motor_controller.") and n.endswith(".so")]
        doctors = [n for n in names if n.endswith("/scripts/vorlix-doctor")]
        if len(modules) != 1 or len(doctors) != 1:
            return [f"expected one module and one vorlix-doctor, found {modules + doctors}"]
        for name in modules + doctors:
            elf = ELFFile(io.BytesIO(wheel.read(name)))
            for library in needed(elf):
                if library.startswith(SYSTEM_CXX_LIBRARIES):
                    found.append(f"{name} needs {library}")
        module = ELFFile(io.BytesIO(wheel.read(modules[0])))
        symbols = exported(module)
        if symbols != ["PyInit_vorlix_motor_controller"]:
            found.append(f"{modules[0]} exports {symbols[:20]}")
    return found


if __name__ == "__main__":
    errors = problems(sys.argv[1])
    for error in errors:
        print(error, file=sys.stderr)
    sys.exit(1 if errors else 0)
