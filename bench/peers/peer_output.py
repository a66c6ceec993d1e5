"""The averaged-frame layout shared by the Python peers (the awk peer writes the same),
and a binary handle on a trajectory that may be compressed, for the peers' side reads."""

import bz2
import gzip
import lzma


def open_input(path):
    """A binary file object on `path`, decompressed by its suffix as the peers' readers do."""
    openers = {".gz": gzip.open, ".bz2": bz2.open, ".xz": lzma.open}
    for suffix, opener in openers.items():
        if path.endswith(suffix):
            return opener(path, "rb")
    return open(path, "rb")


def write_frame(out, names, step, box, xyz):
    """Writes one averaged frame: count, "after STEP steps, BOX: A", atom lines."""
    lines = ["%d\n" % len(names), "after %s steps, BOX: %.6f\n" % (step, box)]
    lines.extend("%5s %12.6f %12.6f %12.6f\n" % (name, x, y, z)
                 for name, (x, y, z) in zip(names, xyz.tolist()))
    out.write("".join(lines))
