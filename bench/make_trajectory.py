#!/usr/bin/env python3
"""Writes a deterministic, MD-like XMOL trajectory of about the given size.

    make_trajectory.py OUTPUT MEGABYTES [--atoms N] [--style md|plain] [--seed S] [--reuse]

Frames hold N atoms (default 3000, water-like O/H names) that jiggle around
lattice sites in a breathing box; comment lines read "after STEP steps, BOX: L".
The "md" style writes atom lines as "%5s %12.6f %12.6f %12.6f", the "plain"
style as "%s %.8f %.8f %.8f". Whole frames are written until the size is
reached, so the file ends a little past it. The same arguments always give the
same bytes.

With --reuse, an OUTPUT already written by this script with the same
arguments (recorded in OUTPUT.json beside it, with its size) is kept as it is,
so that a benchmark rerun does not spend a minute regenerating its inputs.
"""

import argparse
import json
import math
import os
import random
import sys

# Bump when the bytes written for given arguments change, so --reuse
# regenerates files written by an older version.
GENERATOR_VERSION = 2


def describe(args: argparse.Namespace) -> dict:
    return {"generator": GENERATOR_VERSION, "megabytes": args.megabytes, "atoms": args.atoms,
            "style": args.style, "seed": args.seed}


def reusable(args: argparse.Namespace) -> bool:
    try:
        with open(args.output + ".json", encoding="utf-8") as meta_file:
            meta = json.load(meta_file)
        return (meta.get("arguments") == describe(args)
                and os.path.getsize(args.output) == meta.get("bytes"))
    except (OSError, ValueError):
        return False


def write_trajectory(args: argparse.Namespace) -> tuple[int, int]:
    rng = random.Random(args.seed)
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
    return frame, written


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("output")
    parser.add_argument("megabytes", type=float)
    parser.add_argument("--atoms", type=int, default=3000)
    parser.add_argument("--style", choices=("md", "plain"), default="md")
    parser.add_argument("--seed", type=int, default=20261208)
    parser.add_argument("--reuse", action="store_true",
                        help="keep OUTPUT if it was written with these same arguments")
    args = parser.parse_args()

    if args.reuse and reusable(args):
        print("%s: kept (%d bytes)" % (args.output, os.path.getsize(args.output)), file=sys.stderr)
        return 0
    # The record of a finished file is removed first and written last, so an
    # interrupted run is never mistaken for a complete one.
    try:
        os.remove(args.output + ".json")
    except FileNotFoundError:
        pass
    frames, written = write_trajectory(args)
    if args.reuse:
        with open(args.output + ".json", "w", encoding="utf-8") as meta_file:
            json.dump({"arguments": describe(args), "bytes": written, "frames": frames}, meta_file)
            meta_file.write("\n")
    print("%s: %d frames of %d atoms, %d bytes" % (args.output, frames, args.atoms, written),
          file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
