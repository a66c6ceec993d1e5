"""Block-averages an XMOL trajectory with MDAnalysis.

    mdanalysis_reader.py INPUT BLOCK OUTPUT

Iterates the Universe's trajectory (positions are float32 there; the sums are
kept in float64). MDAnalysis skips the comment line, so the step and box are
read from it through a second handle at the frame offsets MDAnalysis has
indexed.
"""

import sys

import MDAnalysis as mda
import numpy as np

from peer_output import open_input, write_frame


def main() -> int:
    path, block, output = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    universe = mda.Universe(path, format="XYZ", topology_format="XYZ")
    names = list(universe.atoms.names)
    trajectory = universe.trajectory
    offsets = trajectory._offsets if trajectory.n_frames else []
    sums = np.zeros((len(names), 3))
    box_sum = 0.0
    with open_input(path) as comments, open(output, "w") as out:
        for ts in trajectory:
            sums += ts.positions
            comments.seek(offsets[ts.frame])
            comments.readline()
            comment = comments.readline().split()
            box_sum += float(comment[4])
            if (ts.frame + 1) % block == 0:
                write_frame(out, names, comment[1].decode(), box_sum / block, sums / block)
                sums[:] = 0.0
                box_sum = 0.0
    return 0


if __name__ == "__main__":
    sys.exit(main())
