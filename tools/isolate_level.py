"""Links one kernel level's static library into a single relocatable object
whose only global symbol is the level's kernel table.

Inline and template code that the kernels share with the rest of the engine
is compiled into every level with that level's instruction set. In an
ordinary link the copies of one such function are merged and any one of
them may serve every caller, so an AVX-512 copy could run on a processor
without AVX-512. Here the level's section groups are dissolved and every
symbol but the table is made local, so each level keeps its own copies.

usage: isolate_level.py OBJCOPY TABLE_SYMBOL ARCHIVE OUTPUT -- CXX [ARGS...]
"""

import os
import subprocess
import sys


def main(argv):
    sep = argv.index("--")
    objcopy, symbol, archive, output = argv[1:sep]
    cxx = argv[sep + 1 :]
    linked = output + ".linked.o"
    subprocess.run(
        cxx
        + ["-r", "-nostdlib", "-Wl,--force-group-allocation", "-Wl,--whole-archive", archive,
           "-Wl,--no-whole-archive", "-o", linked],
        check=True,
    )
    subprocess.run([objcopy, "--keep-global-symbol=" + symbol, linked, output], check=True)
    os.remove(linked)


if __name__ == "__main__":
    main(sys.argv)
