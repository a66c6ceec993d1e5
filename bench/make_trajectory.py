#!/usr/bin/env python3
"""Writes a deterministic, MD-like XMOL trajectory of about the given size.

    make_trajectory.py OUTPUT MEGABYTES [--atoms N] [--style md|plain]

Frames hold N atoms (default 3000, water-like O/H names) that jiggle around
lattice sites in a breathing box; comment lines read "after STEP steps, BOX: L".
The "md" style writes atom lines as "%5s %12.6f %12.6f %12.6f", the "plain"
style as "%s %.8f %.8f %.8f". The same arguments always give the same bytes.
"""

import argparse
import math
import random
import sys


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("output")
    parser.add_argument("megabytes", type=float)
    parser.add_argument("--atoms", type=int, default=3000)
    parser.add_argument("--style", choices=("md", "plain"), default="md")
    args = parser.parse_args()

    rng = random.Random(20261208)
    side = math.ceil(args.atoms ** (1.0 / 3.0))
    sites = [(i % side, (i // side) % side, i // (side * side)) for i in range(args.atoms)]
    names = ["O" if i % 3 == 0 else "H" for i in range(args.atoms)]
    atom_format = "%5s %12.6f %12.6f %12.6f\n" if args.style == "md" else "%s %.8f %.8f %.8f\n"
    # A pool of displacements, drawn once, keeps generation fast and deterministic.
    jitter = [rng.gauss(0.0, 0.15) for _ in range(65536)]

    target = int(args.megabytes * 1_000_000)
    written = 0
    frame = 0
    with open(args.output, "w", newline="\n") as out:
        while written < target:
            box = 3.1 * side * (1.0 + 0.01 * math.sin(frame / 50.0))
            spacing = box / side
            lines = ["%d\n" % args.atoms, "after %d steps, BOX: %.6f\n" % (frame * 10, box)]
            offset = rng.randrange(65536)
            for i, (x, y, z) in enumerate(sites):
                k = (offset + 3 * i) & 0xFFFF
                lines.append(atom_format % (names[i],
                                            (x + 0.5) * spacing + jitter[k],
                                            (y + 0.5) * spacing + jitter[(k + 1) & 0xFFFF],
                                            (z + 0.5) * spacing + jitter[(k + 2) & 0xFFFF]))
            text = "".join(lines)
            out.write(text)
            written += len(text)
            frame += 1
    print("%s: %d frames of %d atoms, %d bytes" % (args.output, frame, args.atoms, written),
          file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
