"""Block-averages an XMOL trajectory with MDTraj's XYZ file reader.

    mdtraj_reader.py INPUT BLOCK OUTPUT

Reads one frame at a time with XYZTrajectoryFile.read. MDTraj returns only the
coordinates, so the atom names and each comment line (step and box) are read
through a second handle at the position where the frame starts.
"""

import sys

from mdtraj.formats import XYZTrajectoryFile

from peer_output import open_input, write_frame


def main() -> int:
    path, block, output = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    sums = None
    names = None
    box_sum = 0.0
    frames = 0
    with XYZTrajectoryFile(path) as xyz_file, open_input(path) as side, \
            open(output, "w") as out:
        while True:
            start = xyz_file._fh.tell()
            xyz = xyz_file.read(n_frames=1)
            if len(xyz) == 0:
                break
            side.seek(start)
            n = int(side.readline())
            comment = side.readline().split()
            if names is None:
                names = [side.readline().split()[0].decode() for _ in range(n)]
            sums = xyz[0] if sums is None else sums + xyz[0]
            box_sum += float(comment[4])
            frames += 1
            if frames % block == 0:
                write_frame(out, names, comment[1].decode(), box_sum / block, sums / block)
                sums = None
                box_sum = 0.0
    return 0


if __name__ == "__main__":
    sys.exit(main())
