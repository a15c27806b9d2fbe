"""Fails unless the built objects keep each instruction-set level to itself.

- Each level object (kernels_LEVEL.o) defines one global symbol, its table:
  any other would let the linker hand its copy of shared inline code to a
  caller of another level.
- The baseline level object and every object outside the levels hold no
  AVX or later instruction: no ymm, zmm or mask register and no VEX- or
  EVEX-only mnemonic.
- The avx2 level object holds no AVX-512 instruction.

usage: check_isolation.py OBJDUMP NM BUILD_DIR LEVEL...
"""

import pathlib
import re
import subprocess
import sys

# Objects linked into the package outside the levels, as meson lays them out.
OTHER_OBJECTS = ["libvessik_engine.a.p/*.o", "*.so.p/*.o"]

# VEX-encoded general-purpose instructions (BMI1/2, LZCNT, MOVBE) of the
# avx2 level's processors, which objdump does not spell with a "v".
GENERAL_AVX2 = {"andn", "bextr", "blsi", "blsmsk", "blsr", "bzhi", "mulx", "pdep", "pext", "rorx", "sarx",
                "shlx", "shrx", "lzcnt", "tzcnt", "movbe"}
AVX_REGISTER = re.compile(r"%[yz]mm\d|%k[0-7]\b")
AVX512_OPERAND = re.compile(r"%zmm\d|%k[0-7]\b|%[xy]mm(1[6-9]|2\d|3[01])\b|\{1to\d+\}")
AVX512_MNEMONIC = re.compile(r"^(k[a-z]+[bwdq]|vpternlog|vperm[it]2|vcompress|vexpand|vpconflict|vplzcnt|valign"
                             r"|vrcp14|vrsqrt14|vgetexp|vgetmant|vscalef|vfixupimm|vrndscale|vreduce|vrange"
                             r"|v(insert|extract|broadcast)[if](32x[248]|64x[24])|vshuf[if](32x4|64x2)"
                             r"|vpmov(m2|[a-z]*2m|u?s?[qdw][bwd]$)|vdpbf16|vcvtne2?ps2bf16|vpmullq|vpsraq"
                             r"|vpro[lr]|vp(max|min)[su]q|vpabsq)")
INSTRUCTION = re.compile(r"^\s*[0-9a-f]+:\s+(\S+)\s*(.*)$")
FUNCTION = re.compile(r"^[0-9a-f]+ <(.+)>:$")


def is_avx(mnemonic, operands):
    return ((mnemonic.startswith("v") and mnemonic not in ("verr", "verw")) or mnemonic in GENERAL_AVX2
            or AVX_REGISTER.search(operands) is not None)


def is_avx512(mnemonic, operands):
    return AVX512_MNEMONIC.match(mnemonic) is not None or AVX512_OPERAND.search(operands) is not None


def offending(objdump, path, test):
    """(function, instruction) of the first instruction in `path` that `test` flags, or None."""
    listing = subprocess.run([objdump, "-d", "--no-show-raw-insn", "-M", "att", str(path)], check=True,
                             capture_output=True, text=True).stdout
    function = "?"
    for line in listing.splitlines():
        if m := FUNCTION.match(line):
            function = m.group(1)
        elif (m := INSTRUCTION.match(line)) and test(m.group(1), m.group(2)):
            return function, line.strip()
    return None


def main(argv):
    if len(argv) < 5:
        sys.exit(__doc__)
    objdump, nm, build = argv[1], argv[2], pathlib.Path(argv[3])
    levels = argv[4:]
    faults = []
    for level in levels:
        path = build / f"kernels_{level}.o"
        if not path.is_file():
            faults.append(f"{path}: missing")
            continue
        symbols = subprocess.run([nm, "-g", "--defined-only", str(path)], check=True, capture_output=True,
                                 text=True).stdout.split("\n")
        exported = sorted(line.split()[-1] for line in symbols if line.strip())
        if exported != [f"vessik_kernel_table_{level}"]:
            shown = ", ".join(exported[:5]) + (" ..." if len(exported) > 5 else "")
            faults.append(f"{path}: exports {len(exported)} symbols ({shown}), not its table alone")
        test = is_avx if level == "baseline" else is_avx512 if level == "avx2" else None
        if test is not None and (found := offending(objdump, path, test)):
            faults.append(f"{path}: {found[1]} in {found[0]}")
    others = [p for pattern in OTHER_OBJECTS for p in sorted(build.glob(pattern))]
    if not others:
        faults.append(f"{build}: no objects found outside the levels ({', '.join(OTHER_OBJECTS)})")
    for path in others:
        if found := offending(objdump, path, is_avx):
            faults.append(f"{path}: {found[1]} in {found[0]}")
    for fault in faults:
        print(fault, file=sys.stderr)
    print(f"level isolation: {len(levels)} level objects and {len(others)} others checked, {len(faults)} faults")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
