"""The averaged-frame layout shared by the Python peers (the awk peer writes the same)."""


def write_frame(out, names, step, box, xyz):
    """Writes one averaged frame: count, "after STEP steps, BOX: A", atom lines."""
    lines = ["%d\n" % len(names), "after %s steps, BOX: %.6f\n" % (step, box)]
    lines.extend("%5s %12.6f %12.6f %12.6f\n" % (name, x, y, z)
                 for name, (x, y, z) in zip(names, xyz.tolist()))
    out.write("".join(lines))
