"""Block-averages an XMOL trajectory frame by frame with numpy.

    numpy_stream.py INPUT BLOCK OUTPUT

Reads one frame at a time (constant memory), parses its atom lines with
numpy.loadtxt, and writes the per-position means of every BLOCK frames.
"""

import itertools
import sys

import numpy as np

from peer_output import write_frame


def main() -> int:
    path, block, output = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    sums = None
    box_sum = 0.0
    frames = 0
    with open(path, "rb") as f, open(output, "w") as out:
        while True:
            header = f.readline()
            if not header.strip():
                break
            n = int(header)
            comment = f.readline().split()
            lines = list(itertools.islice(f, n))
            names = [line.split(None, 1)[0].decode() for line in lines]
            xyz = np.loadtxt(lines, usecols=(1, 2, 3), ndmin=2)
            sums = xyz if sums is None else sums + xyz
            box_sum += float(comment[4])
            frames += 1
            if frames % block == 0:
                write_frame(out, names, comment[1].decode(), box_sum / block, sums / block)
                sums = None
                box_sum = 0.0
    return 0


if __name__ == "__main__":
    sys.exit(main())
