"""Block-averages an XMOL trajectory with ASE's streaming reader.

    ase_iread.py INPUT BLOCK OUTPUT

ase.io.iread yields one Atoms object per frame. ASE reads the comment line as
key=value pairs; a comment such as "after 10 steps, BOX: 21.5" becomes five
flag keys in order, so the step is the second key and the box the fifth.
"""

import sys

import ase.io

from peer_output import write_frame


def main() -> int:
    path, block, output = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    sums = None
    box_sum = 0.0
    frames = 0
    with open(output, "w") as out:
        for atoms in ase.io.iread(path, index=":", format="extxyz"):
            keys = list(atoms.info)
            xyz = atoms.get_positions()
            sums = xyz if sums is None else sums + xyz
            box_sum += float(keys[4])
            frames += 1
            if frames % block == 0:
                write_frame(out, atoms.get_chemical_symbols(), keys[1], box_sum / block,
                            sums / block)
                sums = None
                box_sum = 0.0
    return 0


if __name__ == "__main__":
    sys.exit(main())
