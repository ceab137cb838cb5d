"""The built module as the dynamic linker sees it (Linux): every method call
crosses into the interpreter several times (an attribute read, a list built),
and each crossing costs a jump more when it goes through a lazy-binding stub,
or when the module's own functions are reached through its exported symbols.
Read from the ELF file's dynamic symbol and relocation tables."""
import struct
import sys

import pytest

import vostelmotor

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads the ELF file of a Linux build")


def elf_tables(path):
    """(defined dynamic symbol names, names called through lazy-binding stubs)."""
    with open(path, "rb") as f:
        data = f.read()
    assert data[:4] == b"\x7fELF" and data[4] == 2 and data[5] == 1, "a 64-bit little-endian ELF file"
    shoff, = struct.unpack_from("<Q", data, 0x28)
    shentsize, shnum, shstrndx = struct.unpack_from("<HHH", data, 0x3A)
    sections = [struct.unpack_from("<IIQQQQIIQQ", data, shoff + i * shentsize) for i in range(shnum)]
    names_at = sections[shstrndx][4]

    def text(table, at):
        return data[table + at:data.index(b"\0", table + at)].decode()

    by_name = {text(names_at, s[0]): s for s in sections}
    symtab, strtab = by_name[".dynsym"], sections[by_name[".dynsym"][6]]
    symbols = []
    for i in range(symtab[5] // 24):
        name, _info, _other, shndx = struct.unpack_from("<IBBH", data, symtab[4] + i * 24)
        symbols.append((text(strtab[4], name), shndx != 0))
    stubbed = set()
    for section in (by_name.get(".rela.plt"),):
        for i in range(section[5] // 24 if section else 0):
            info, = struct.unpack_from("<Q", data, section[4] + i * 24 + 8)
            stubbed.add(symbols[info >> 32][0])
    return {name for name, defined in symbols if defined}, stubbed


def test_the_module_calls_the_interpreter_directly_and_exports_only_its_entry():
    exported, stubbed = elf_tables(vostelmotor.__file__)
    assert "PyInit_vostelmotor" in exported
    assert sorted(name for name in exported if name.startswith("_ZN6vostel")) == []
    assert sorted(name for name in stubbed if name.startswith(("Py", "_Py"))) == []
