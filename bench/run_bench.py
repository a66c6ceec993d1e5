"""Times blockavg against a bare parsing loop, the reading floor and peers.

Run it through bench/run, which installs the Debian packages it needs first.
Every tool does its runs on one input size in the same session, interleaved
(round after round, each round in a rotated order), and the median wall time
counts. Each peer's averaged frames are checked against blockavg's
trajectory.xmol before its time is believed. Besides the three sizes of
2000-atom frames there is an input of a million 3-atom frames, where the work
per frame counts, and one of 2,000,000-atom frames, held against the bound on
memory.
"""

import argparse
import datetime
import json
import os
import platform
import re
import shlex
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
REPO_DIR = os.path.dirname(BENCH_DIR)
PEERS_DIR = os.path.join(BENCH_DIR, "peers")
DEBIAN_PYTHON = "/usr/bin/python3"
TIME = "/usr/bin/time"

SIZES_MB = (10, 200, 1000)
ATOMS = 2000          # 100 frames, one full block, fit in the 10 MB input
BLOCK = 100           # blockavg's default, and the block length of every peer
TOLERANCE = 1e-5

# Many tiny frames, where the work per frame rather than per atom counts: 171.8888 MB of
# 3-atom frames is 1,000,000 frames exactly.
SMALL_ATOMS = 3
SMALL_MB = 171.8888
SMALL_PIPE = "blockavg, report to a pipe"
# Frames of millions of atoms: 300 MB of 2,000,000-atom frames is 4 frames of 90 MB.
LARGE_ATOMS = 2_000_000
LARGE_MB = 300
LARGE_BLOCKS = (1, 2)  # both write averaged frames: four frames fill no block of 100
# The most memory a run may take: a fixed part and so much per atom of the largest frame.
MIB = 1024 * 1024
RSS_FIXED = 16 * MIB
RSS_PER_ATOM = 80


def size_label(megabytes: int) -> str:
    return "1 GB" if megabytes == 1000 else "%d MB" % megabytes


def log(message: str) -> None:
    print("[%s] %s" % (time.strftime("%H:%M:%S"), message), flush=True)


def command_output(argv: list, **kwargs) -> str:
    try:
        result = subprocess.run(argv, capture_output=True, text=True, **kwargs)
        return (result.stdout + result.stderr).strip()
    except OSError as error:
        return "unavailable (%s)" % error


def first_line(text: str) -> str:
    return text.splitlines()[0] if text else ""


def python_version(module: str, attribute: str = "__version__") -> str:
    result = subprocess.run([DEBIAN_PYTHON, "-W", "ignore", "-c",
                             "import %s as m; print(m.%s)" % (module, attribute)],
                            capture_output=True, text=True)
    return result.stdout.strip() or "not installed"


# ---------------------------------------------------------------- tools


class Tool:
    """One timed command. `argv(input, workdir)` gives the command line;
    `output(workdir)` the averaged frames it writes, if any, for checking."""

    def __init__(self, name, version, kind, argv, output=None, slow_allowed=True):
        self.name = name
        self.version = version
        self.kind = kind  # "floor", "yardstick", "blockavg", "peer"
        self.argv = argv
        self.output = output
        self.slow_allowed = slow_allowed


def usable_cpus() -> list:
    """The processors this process may run on, as blockavg counts them."""
    try:
        return sorted(os.sched_getaffinity(0))
    except AttributeError:
        return list(range(os.cpu_count() or 1))


def core_counts() -> list:
    """1, 2, 4, ... up to every usable processor, for the scaling table."""
    total = len(usable_cpus())
    counts = [1]
    while counts[-1] * 2 < total:
        counts.append(counts[-1] * 2)
    if counts[-1] != total:
        counts.append(total)
    return counts


def pinned(argv: list, cores: int) -> list:
    """argv limited to the first `cores` usable processors with taskset;
    blockavg starts one thread per processor it may use."""
    if cores >= len(usable_cpus()):
        return argv
    return ["taskset", "-c", ",".join(str(c) for c in usable_cpus()[:cores])] + argv


def cores_label(cores: int) -> str:
    return "1 core" if cores == 1 else "%d cores" % cores


def make_tools(blockavg: str, yardstick: str, with_peers: bool) -> list:
    blockavg_version = first_line(command_output([blockavg, "--version"]))

    def blockavg_tool(block, name, cores=None):
        return Tool(name, blockavg_version, "blockavg",
                    lambda path, work: pinned([blockavg, path, str(block)],
                                              cores or len(usable_cpus())),
                    output=lambda work: os.path.join(work, "trajectory.xmol"),
                    slow_allowed=False)

    tools = [
        Tool("cat > /dev/null", first_line(command_output(["cat", "--version"])), "floor",
             lambda path, work: ["cat", path], slow_allowed=False),
        Tool("wc -l", first_line(command_output(["wc", "--version"])), "floor",
             lambda path, work: ["wc", "-l", path], slow_allowed=False),
        Tool("yardstick", "bench/yardstick.cpp", "yardstick",
             lambda path, work: [yardstick, path], slow_allowed=False),
        blockavg_tool(BLOCK, "blockavg"),
        blockavg_tool(10, "blockavg, block 10"),
        blockavg_tool(1, "blockavg, block 1"),
    ]
    # The scaling table: the same run on fewer processors.
    tools += [blockavg_tool(BLOCK, "blockavg, " + cores_label(cores), cores)
              for cores in core_counts()[:-1]]
    if not with_peers:
        return tools

    awk_script = os.path.join(PEERS_DIR, "block_average.awk")

    def awk_tool(awk, version):
        return Tool(awk, version, "peer",
                    lambda path, work: [awk, "-v", "block=%d" % BLOCK,
                                        "-v", "out=" + os.path.join(work, "out.xyz"),
                                        "-f", awk_script, path],
                    output=lambda work: os.path.join(work, "out.xyz"))

    def python_tool(name, script, version):
        return Tool(name, version, "peer",
                    lambda path, work: [DEBIAN_PYTHON, "-W", "ignore",
                                        os.path.join(PEERS_DIR, script), path, str(BLOCK),
                                        os.path.join(work, "out.xyz")],
                    output=lambda work: os.path.join(work, "out.xyz"))

    python = "Python " + first_line(command_output([DEBIAN_PYTHON, "--version"])).split()[-1]
    tools += [
        awk_tool("mawk", first_line(command_output(["mawk", "-W", "version"]))),
        awk_tool("gawk", first_line(command_output(["gawk", "--version"])).split(",")[0]),
        python_tool("numpy (loadtxt per frame)", "numpy_stream.py",
                    "numpy %s, %s" % (python_version("numpy"), python)),
        python_tool("ASE (ase.io.iread)", "ase_iread.py",
                    "ASE %s, %s" % (python_version("ase"), python)),
        python_tool("MDAnalysis", "mdanalysis_reader.py",
                    "MDAnalysis %s, %s" % (python_version("MDAnalysis"), python)),
        python_tool("MDTraj (XYZTrajectoryFile)", "mdtraj_reader.py",
                    "MDTraj %s, %s" % (python_version("mdtraj.version", "version"), python)),
    ]
    return tools


def make_small_frame_tools(blockavg: str, yardstick: str) -> list:
    """For the input of many tiny frames: the reading floor, the yardstick and blockavg with
    its progress report (a line a frame) going to a pipe rather than /dev/null, on every
    usable processor and with blockavg alone pinned to the first."""
    blockavg_version = first_line(command_output([blockavg, "--version"]))

    def report_to_pipe(name, cores):
        return Tool(name, blockavg_version, "blockavg",
                    lambda path, work: ["sh", "-c", "%s | cat > /dev/null" % " ".join(
                        shlex.quote(a) for a in pinned([blockavg, path, str(BLOCK)], cores))],
                    output=lambda work: os.path.join(work, "trajectory.xmol"),
                    slow_allowed=False)

    return [
        Tool("cat > /dev/null", first_line(command_output(["cat", "--version"])), "floor",
             lambda path, work: ["cat", path], slow_allowed=False),
        Tool("yardstick", "bench/yardstick.cpp", "yardstick",
             lambda path, work: [yardstick, path], slow_allowed=False),
        report_to_pipe(SMALL_PIPE, len(usable_cpus())),
        report_to_pipe(SMALL_PIPE + ", 1 core", 1),
    ]


def make_large_frame_tools(blockavg: str) -> list:
    """blockavg at block lengths 1 and 2 on every usable processor, for the memory bound."""
    blockavg_version = first_line(command_output([blockavg, "--version"]))
    return [Tool("blockavg, block %d" % block, blockavg_version, "blockavg",
                 lambda path, work, block=block: [blockavg, path, str(block)],
                 output=lambda work: os.path.join(work, "trajectory.xmol"), slow_allowed=False)
            for block in LARGE_BLOCKS]


COMPRESSIONS = (  # suffix, command that writes it, command that reads it
    (".gz", ["gzip", "-6", "-c"], "zcat"),
    (".zst", ["zstd", "-3", "-q", "-c"], "zstd -dc"),
    (".bz2", ["bzip2", "-9", "-c"], "lbzip2 -dc -n2"),
    (".xz", ["xz", "-2", "-T2", "-c"], "xz -dc -T2"),
    (".bgz", ["bgzip", "-c"], "bgzip -dc"),
    (".pzst", ["pzstd", "-3", "-q", "-p", "2", "-c"], "pzstd -dc -p 2"),
)
# Formats made of units that may decode apart (blocks, members, frames): each is also
# timed on one core, and piped in from its own decompressor on every core.
UNIT_FORMATS = (".bz2", ".xz", ".bgz", ".pzst")
# Two cores against one, and against the format's decompressor piped in on two cores.
COMPRESSED_TARGETS = {(".xz", "1 core"): 1.8, (".bz2", "1 core"): 1.8, (".bgz", "1 core"): 1.6,
                      (".pzst", "1 core"): 1.6, (".xz", "pipe"): 1.7, (".bz2", "pipe"): 1.7}
# A second decompressor piped in: the one-thread tool of the library blockavg decodes with.
ALSO_PIPED = {".bz2": "bzip2 -dc"}


def make_compressed(path: str) -> dict:
    """Compressed copies of `path` beside it (kept for later runs), by suffix."""
    copies = {}
    for suffix, command, _ in COMPRESSIONS:
        copy = path + suffix
        if not os.path.exists(copy) or os.path.getmtime(copy) < os.path.getmtime(path):
            log("+ %s < %s > %s" % (" ".join(command), path, copy))
            with open(path, "rb") as source, open(copy + ".part", "wb") as target:
                subprocess.run(["nice", "-n", "10"] + command, stdin=source, stdout=target,
                               check=True)
            os.replace(copy + ".part", copy)
        copies[suffix] = copy
    return copies


def make_compressed_tools(blockavg: str, copies: dict, with_peers: bool) -> list:
    """blockavg on compressed copies, the same through the format's own decompressor in a
    pipe, that decompressor alone, and the peers through their own readers."""
    blockavg_version = first_line(command_output([blockavg, "--version"]))
    tools = [Tool("blockavg, plain text", blockavg_version, "blockavg",
                  lambda path, work: [blockavg, path, str(BLOCK)],
                  output=lambda work: os.path.join(work, "trajectory.xmol"), slow_allowed=False)]
    for suffix, _, reader in COMPRESSIONS:
        copy = copies[suffix]
        tools.append(Tool("blockavg run.xyz%s" % suffix, blockavg_version, "blockavg",
                          lambda path, work, copy=copy: [blockavg, copy, str(BLOCK)],
                          output=lambda work: os.path.join(work, "trajectory.xmol"),
                          slow_allowed=suffix in (".bz2", ".xz")))
        if suffix in UNIT_FORMATS:
            tools.append(Tool("blockavg run.xyz%s, 1 core" % suffix, blockavg_version, "blockavg",
                              lambda path, work, copy=copy:
                              pinned([blockavg, copy, str(BLOCK)], 1),
                              output=lambda work: os.path.join(work, "trajectory.xmol"),
                              slow_allowed=suffix in (".bz2", ".xz")))
        readers = (reader, ALSO_PIPED[suffix]) if suffix in ALSO_PIPED else (reader,)
        for reader in readers if suffix in (".gz", ".zst") + UNIT_FORMATS else ():
            tools.append(Tool("%s | blockavg -" % reader, blockavg_version, "blockavg",
                              lambda path, work, copy=copy, reader=reader:
                              ["sh", "-c", "%s '%s' | '%s' - %d" % (reader, copy, blockavg,
                                                                    BLOCK)],
                              output=lambda work: os.path.join(work, "trajectory.xmol"),
                              slow_allowed=suffix in (".bz2", ".xz")))
            if reader == readers[0]:
                tools.append(Tool("%s > /dev/null" % reader, reader, "floor",
                                  lambda path, work, copy=copy, reader=reader:
                                  ["sh", "-c", "%s '%s' > /dev/null" % (reader, copy)],
                                  slow_allowed=suffix in (".bz2", ".xz")))
    if not with_peers:
        return tools
    python = "Python " + first_line(command_output([DEBIAN_PYTHON, "--version"])).split()[-1]
    peers = (("MDAnalysis", "mdanalysis_reader.py", "MDAnalysis %s" % python_version("MDAnalysis"),
              (".gz", ".bz2")),
             ("ASE (ase.io.iread)", "ase_iread.py", "ASE %s" % python_version("ase"),
              (".gz", ".bz2", ".xz")),
             ("MDTraj (XYZTrajectoryFile)", "mdtraj_reader.py",
              "MDTraj %s" % python_version("mdtraj.version", "version"), (".gz",)))
    for name, script, version, suffixes in peers:
        for suffix in suffixes:
            copy = copies[suffix]
            tools.append(Tool("%s, run.xyz%s" % (name, suffix), "%s, %s" % (version, python),
                              "peer",
                              lambda path, work, copy=copy, script=script:
                              [DEBIAN_PYTHON, "-W", "ignore", os.path.join(PEERS_DIR, script),
                               copy, str(BLOCK), os.path.join(work, "out.xyz")],
                              output=lambda work: os.path.join(work, "out.xyz")))
    return tools


# ---------------------------------------------------------------- checking


def read_frames(path: str) -> list:
    """(names, coordinates, box) per frame of an XYZ file, the box being the
    first number after "BOX:" in the comment line (None without one)."""
    frames = []
    with open(path, encoding="utf-8", errors="replace") as f:
        lines = f.read().split("\n")
    i = 0
    while i < len(lines) and lines[i].strip():
        count = int(lines[i].split()[0])
        words = lines[i + 1].split()
        box = float(words[words.index("BOX:") + 1]) if "BOX:" in words else None
        names, coordinates = [], []
        for line in lines[i + 2:i + 2 + count]:
            fields = line.split()
            names.append(fields[0])
            coordinates.append(tuple(float(v) for v in fields[1:4]))
        frames.append((names, coordinates, box))
        i += 2 + count
    return frames


def check_output(reference: str, output: str) -> str:
    """"ok", or what differs between a peer's averaged frames and blockavg's."""
    if not os.path.exists(output):
        return "no output"
    try:
        expected, got = read_frames(reference), read_frames(output)
    except (ValueError, IndexError) as error:
        return "unreadable output (%s)" % error
    if len(expected) != len(got):
        return "%d averaged frames, blockavg wrote %d" % (len(got), len(expected))
    if not expected:
        return "no averaged frames to compare"
    worst = 0.0
    for number, ((names, xyz, box), (got_names, got_xyz, got_box)) in \
            enumerate(zip(expected, got), start=1):
        if names != got_names:
            return "frame %d: atom names or count differ" % number
        if got_box is None or abs(got_box - box) > TOLERANCE * max(1.0, abs(box)):
            return "frame %d: box %s, blockavg %s" % (number, got_box, box)
        for atom, (a, b) in enumerate(zip(xyz, got_xyz), start=1):
            difference = max(abs(u - v) for u, v in zip(a, b))
            if not difference <= TOLERANCE:
                return "frame %d atom %d differs by %.3g" % (number, atom, difference)
            worst = max(worst, difference)
    return "ok"


# ---------------------------------------------------------------- timing


def timed_run(argv: list, work: str, limit=None) -> tuple:
    """(wall seconds, peak RSS in KiB, user + system CPU seconds, exit status) of one run in
    `work`; a run still going after `limit` seconds is killed, with status "timeout"."""
    rss_file = os.path.join(work, ".rss")
    start = time.perf_counter()
    process = subprocess.Popen([TIME, "-f", "%M %U %S", "-o", rss_file] + argv, cwd=work,
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.PIPE, start_new_session=True)
    try:
        _, stderr = process.communicate(timeout=limit)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.communicate()
        return time.perf_counter() - start, 0, 0.0, "timeout"
    wall = time.perf_counter() - start
    try:
        with open(rss_file) as f:
            # The last line: GNU time puts a note about a non-zero status first.
            fields = f.read().splitlines()[-1].split()
        rss, cpu = int(fields[0]), float(fields[1]) + float(fields[2])
    except (OSError, ValueError, IndexError):
        rss, cpu = 0, 0.0
    if process.returncode != 0:
        sys.stderr.write(stderr.decode(errors="replace")[-2000:])
    return wall, rss, cpu, process.returncode


def load_average() -> str:
    try:
        with open("/proc/loadavg") as f:
            return " ".join(f.read().split()[:3])
    except OSError:
        return "?"


def bench_size(tools, path, megabytes, args, scratch, cached=()) -> dict:
    """Times `tools` on `path`, interleaved. MB/s counts the bytes of trajectory text in
    `path`; `cached` are further files the tools read (compressed copies), brought into the
    page cache with it."""
    size = os.path.getsize(path)
    log("%s: %s (%d bytes), load %s" % (size_label(megabytes), path, size, load_average()))
    # Twice through the page cache, so every tool reads from memory.
    for _ in range(2):
        for name in (path,) + tuple(cached):
            subprocess.run(["cat", name], stdout=subprocess.DEVNULL, check=True)

    # The reference every peer is checked against: blockavg at the peers' block length.
    reference_dir = os.path.join(scratch, "reference")
    os.makedirs(reference_dir, exist_ok=True)
    reference_tool = next(t for t in tools if t.kind == "blockavg")
    _, _, _, status = timed_run(reference_tool.argv(path, reference_dir), reference_dir)
    if status != 0:
        raise SystemExit("blockavg failed on %s (status %d)" % (path, status))
    reference = reference_tool.output(reference_dir)

    rows = {t.name: {"times": [], "rss": [], "cpu": [], "target": args.runs, "check": "", "status": 0}
            for t in tools}
    load_before = load_average()
    started = time.monotonic()
    for round_number in range(args.runs):
        shift = round_number % len(tools)
        for tool in tools[shift:] + tools[:shift]:
            row = rows[tool.name]
            if len(row["times"]) >= row["target"] or row["status"] != 0:
                continue
            work = os.path.join(scratch, "work")
            shutil.rmtree(work, ignore_errors=True)
            os.makedirs(work)
            limit = args.peer_limit if tool.kind == "peer" else None
            wall, rss, cpu, status = timed_run(tool.argv(path, work), work, limit)
            if status == "timeout":
                row["status"] = status
                row["check"] = "stopped after %g s" % args.peer_limit
                log("  %-36s stopped after %g s" % (tool.name, args.peer_limit))
                continue
            if status != 0:
                row["status"] = status
                row["check"] = "exit status %d" % status
                log("  %-36s FAILED (exit status %d)" % (tool.name, status))
                continue
            row["times"].append(wall)
            row["rss"].append(rss)
            row["cpu"].append(cpu)
            if len(row["times"]) == 1:
                if tool.kind == "peer":
                    row["check"] = check_output(reference, tool.output(work))
                elif tool.kind == "blockavg":
                    row["check"] = "reference" if tool.name == "blockavg" else ""
                if tool.slow_allowed and wall * args.runs > args.budget:
                    row["target"] = max(1, min(args.runs, int(args.budget // wall)))
            log("  %-36s %8.3f s %9.1f MB/s %8.3f s CPU %8.1f MiB  %s" %
                (tool.name, wall, size / 1e6 / wall, cpu, rss / 1024, row["check"]))
    result = {"megabytes": megabytes, "bytes": size, "path": path, "load_before": load_before,
              "load_after": load_average(), "seconds": time.monotonic() - started, "tools": {}}
    for tool in tools:
        row = rows[tool.name]
        median = statistics.median(row["times"]) if row["times"] else None
        result["tools"][tool.name] = {
            "version": tool.version, "kind": tool.kind, "times": row["times"],
            "median_seconds": median,
            "median_cpu_seconds": statistics.median(row["cpu"]) if row["cpu"] else None,
            "mb_per_s": size / 1e6 / median if median else None,
            "peak_rss_kib": max(row["rss"]) if row["rss"] else None,
            "runs": len(row["times"]), "check": row["check"], "status": row["status"]}
    return result


# ---------------------------------------------------------------- reporting


def file_system_type(path: str) -> str:
    """The type of the file system `path` is on ("tmpfs", "ext4", ...), from /proc/mounts;
    "?" when it cannot be told."""
    path = os.path.realpath(path)
    found, kind = "", "?"
    try:
        with open("/proc/mounts", encoding="utf-8", errors="replace") as f:
            for line in f:
                fields = line.split()
                if len(fields) < 3:
                    continue
                # Spaces and the like in mount points are written as octal escapes.
                mount = re.sub(r"\\([0-7]{3})", lambda m: chr(int(m.group(1), 8)), fields[1])
                inside = path == mount or path.startswith(mount.rstrip("/") + "/")
                # The deepest mount point holding the path; of equal ones, the last mounted.
                if inside and len(mount) >= len(found):
                    found, kind = mount, fields[2]
    except OSError:
        pass
    return kind


def cpu_model() -> str:
    for line in command_output(["lscpu"]).splitlines():
        if line.startswith("Model name:"):
            return line.split(":", 1)[1].strip()
    return platform.processor() or "?"


def ratio(a, b) -> str:
    return "%.2f" % (a / b) if a and b else "n/a"


def format_rate(value) -> str:
    if not value:
        return "n/a"
    return "%.0f" % value if value >= 100 else "%.1f" % value


def speed_ratio(tools: dict, faster: str, slower: str) -> str:
    """How many times `faster`'s throughput is `slower`'s."""
    return ratio(tools[slower]["median_seconds"], tools[faster]["median_seconds"])


def headline_rows(results: list, small=None, large=None) -> list:
    """(what, figure) pairs for the ratios people ask about first."""
    by_size = {r["megabytes"]: r["tools"] for r in results}
    rows = []
    largest = max(by_size)
    tools = by_size[largest]
    blockavg = tools["blockavg"]
    label = size_label(largest)
    cores = len(usable_cpus())
    rows.append(("blockavg (block %d, %s) MB/s on %s" % (BLOCK, cores_label(cores), label),
                 format_rate(blockavg["mb_per_s"])))
    rows.append(("blockavg speed ÷ yardstick speed, %s, %s" % (cores_label(cores), label),
                 speed_ratio(tools, "blockavg", "yardstick")))
    if "blockavg, 1 core" in tools:
        rows.append(("blockavg speed ÷ yardstick speed, 1 core, %s" % label,
                     speed_ratio(tools, "blockavg, 1 core", "yardstick")))
        rows.append(("blockavg speed, %s ÷ 1 core, %s" % (cores_label(cores), label),
                     speed_ratio(tools, "blockavg", "blockavg, 1 core")))
    rows.append(("blockavg time ÷ `cat` time, %s" % label,
                 ratio(blockavg["median_seconds"], tools["cat > /dev/null"]["median_seconds"])))
    for name in ("numpy (loadtxt per frame)", "mawk", "MDAnalysis"):
        if name in tools and tools[name]["median_seconds"]:
            rows.append(("blockavg speed ÷ %s speed, %s" % (name, label),
                         ratio(blockavg["mb_per_s"], tools[name]["mb_per_s"])))
    rows.append(("blockavg block 1 speed ÷ block %d speed, %s, %s" %
                 (BLOCK, cores_label(cores), label),
                 speed_ratio(tools, "blockavg, block 1", "blockavg")))
    smallest = min(by_size)
    rows.append(("blockavg peak RSS, %s / %s" % (size_label(smallest), label),
                 "%.1f MiB / %.1f MiB" % (by_size[smallest]["blockavg"]["peak_rss_kib"] / 1024,
                                          blockavg["peak_rss_kib"] / 1024)))
    if small:
        rows.append(("small frames, report to a pipe: blockavg speed ÷ yardstick speed",
                     speed_ratio(small["tools"], SMALL_PIPE, "yardstick")))
    if large:
        rss = [large["tools"]["blockavg, block %d" % block]["peak_rss_kib"]
               for block in LARGE_BLOCKS]
        rows.append(("blockavg peak RSS, frames of %s atoms, %s (bound %.1f MiB)" %
                     ("{:,}".format(large["atoms"]),
                      " / ".join("block %d" % block for block in LARGE_BLOCKS),
                      rss_bound(large["atoms"]) / MIB),
                     " / ".join("%.1f MiB" % (kib / 1024) if kib else "n/a" for kib in rss)))
    return rows


def rss_bound(atoms: int) -> int:
    """The most bytes a run on frames of `atoms` atoms may hold."""
    return RSS_FIXED + RSS_PER_ATOM * atoms


def bytes_per_atom(kib, atoms: int):
    """What a peak RSS of `kib` KiB comes to per atom, past the fixed part."""
    return (kib * 1024 - RSS_FIXED) / atoms if kib else None


def verdict(value, met) -> str:
    if value is None:
        return "not measured"
    return "met" if met else "**not met**"


def target_rows(results: list, steps, small, small_steps, large) -> list:
    """(what, target, measured, verdict) for each target the project sets."""
    by_size = {r["megabytes"]: r["tools"] for r in results}
    big = by_size.get(1000)
    cores = cores_label(len(usable_cpus()))
    rows = []

    def speed(tools, faster, slower):
        if not tools or not tools[faster]["median_seconds"] or \
                not tools[slower]["median_seconds"]:
            return None
        return tools[slower]["median_seconds"] / tools[faster]["median_seconds"]

    value = speed(small["tools"], SMALL_PIPE, "yardstick") if small else None
    rows.append(("small frames (3 atoms), report to a pipe, %s: blockavg speed ÷ yardstick "
                 "speed" % cores, "≥ 1.5", "%.2f" % value if value else "n/a",
                 verdict(value, value is not None and value >= 1.5)))
    value = speed(big, "blockavg", "yardstick")
    rows.append(("1 GB, block %d, %s: blockavg speed ÷ yardstick speed" % (BLOCK, cores),
                 "measured against an earlier version, which this harness does not run",
                 "%.2f" % value if value else "n/a",
                 "not judged here" if value else "not measured"))
    value = speed(big, "blockavg, block 1", "blockavg")
    rows.append(("1 GB, %s: block 1 speed ÷ block %d speed" % (cores, BLOCK), "≥ 0.45",
                 "%.2f" % value if value else "n/a",
                 verdict(value, value is not None and value >= 0.45)))

    def share(measured, megabytes=None):
        if not measured or (megabytes and round(measured["bytes"] / 1e6) != megabytes):
            return None
        return measured["runs"][0]["in_order_share"]

    threads = threads_label(len(usable_cpus()))
    value = share(steps, 1000)
    rows.append(("in-order share of the processor time, 1 GB, block %d, %s (step_times)" %
                 (BLOCK, threads), "≤ 5 %", "%.1f %%" % value if value is not None else "n/a",
                 verdict(value, value is not None and value <= 5)))
    value = share(small_steps)
    rows.append(("in-order share of the processor time, small frames, block %d, %s "
                 "(step_times)" % (BLOCK, threads), "≤ 20 %",
                 "%.1f %%" % value if value is not None else "n/a",
                 verdict(value, value is not None and value <= 20)))
    for block in LARGE_BLOCKS:
        kib = (large["tools"]["blockavg, block %d" % block]["peak_rss_kib"] if large
               else None) or None
        atoms = large["atoms"] if large else LARGE_ATOMS
        rows.append(("peak RSS, frames of %s atoms, block %d, %s" %
                     ("{:,}".format(atoms), block, cores),
                     "≤ 16 MiB + %d bytes an atom = %.1f MiB" % (RSS_PER_ATOM,
                                                                  rss_bound(atoms) / MIB),
                     "%.1f MiB (%.1f bytes an atom)" % (kib / 1024, bytes_per_atom(kib, atoms))
                     if kib else "n/a",
                     verdict(kib, kib is not None and kib * 1024 <= rss_bound(atoms))))
    small_rss = by_size[10]["blockavg"]["peak_rss_kib"] if 10 in by_size else None
    big_rss = big["blockavg"]["peak_rss_kib"] if big else None
    value = (big_rss - small_rss) / 1024 if small_rss and big_rss else None
    rows.append(("peak RSS, block %d, %s: 1 GB input against 10 MB" % (BLOCK, cores),
                 "within 2 MiB", "%.1f − %.1f = %+.1f MiB" % (big_rss / 1024, small_rss / 1024,
                                                            value)
                 if value is not None else "n/a",
                 verdict(value, value is not None and abs(value) <= 2)))
    return rows


def timing_row(name: str, row: dict, extra: str) -> str:
    """A table row: tool, runs, median s, MB/s, `extra`, CPU s, peak RSS MiB."""
    median = row["median_seconds"]
    cpu = row["median_cpu_seconds"]
    return "| %s | %d | %s | %s | %s | %s | %s |" % (
        name, row["runs"], "%.3f" % median if median else "n/a", format_rate(row["mb_per_s"]),
        extra, "%.2f" % cpu if cpu is not None else "n/a",
        "%.1f" % (row["peak_rss_kib"] / 1024) if row["peak_rss_kib"] else "n/a")


def small_frames_section(small: dict, small_steps: dict) -> list:
    """The many-tiny-frames table, and where its time goes."""
    if not small:
        return []
    tools = small["tools"]
    out = ["## Small frames: %s frames of %d atoms (%d bytes)\n" % (
               "{:,}".format(small["frames"]), small["atoms"], small["bytes"]),
           "Here the work per frame counts, not the work per atom. blockavg at block %d with "
           "its progress report (a line a frame on standard output) going to a pipe read by "
           "`cat`: `sh -c 'blockavg FILE %d | cat > /dev/null'`; `1 core` pins blockavg alone "
           "to the first usable processor with `taskset` (`cat` is not pinned). No peers run "
           "on this input. Load average before: %s, after: %s.\n" % (
               BLOCK, BLOCK, small["load_before"], small["load_after"])]
    out.append("- `%s` runs %s times as fast as the yardstick; pinned to one core, %s times." % (
        SMALL_PIPE, speed_ratio(tools, SMALL_PIPE, "yardstick"),
        speed_ratio(tools, SMALL_PIPE + ", 1 core", "yardstick")))
    out.append("")
    out.append("| tool | runs | median s | MB/s | frames/s | CPU s | peak RSS MiB |")
    out.append("|---|---:|---:|---:|---:|---:|---:|")
    for name, row in tools.items():
        median = row["median_seconds"]
        out.append(timing_row(name, row, "{:,.0f}".format(small["frames"] / median)
                              if median else "n/a"))
    out.append("")
    if small_steps:
        runs = small_steps["runs"]
        out.append("`step_times FILE %d THREADS` on this input, as above (median of %d runs "
                   "each):\n" % (BLOCK, runs[0]["runs"]))
        out += step_table(small_steps)
        out.append("")
        out.append("Of the processor time, the in-order steps take %s; the target is about the "
                   "run on every usable processor." % in_order_shares(runs))
        out.append("")
    return out


def large_frames_section(large: dict) -> list:
    """Wall time and peak memory on frames of millions of atoms, against the bound."""
    if not large:
        return []
    atoms = large["atoms"]
    bound = rss_bound(atoms)
    out = ["## Large frames: %d frames of %s atoms (%d bytes)\n" % (
               large["frames"], "{:,}".format(atoms), large["bytes"]),
           "blockavg on every usable processor at block lengths %s, interleaved. The "
           "bound on memory: a peak RSS of at most 16 MiB + %d bytes an atom of the largest "
           "frame, here 16 MiB + %s bytes = %.1f MiB; bytes an atom = (peak RSS − 16 MiB) ÷ "
           "%s. Peak RSS is the largest over the runs. Load average before: %s, after: "
           "%s.\n" % (
               " and ".join(str(block) for block in LARGE_BLOCKS), RSS_PER_ATOM,
               "{:,}".format(RSS_PER_ATOM * atoms), bound / MIB, "{:,}".format(atoms),
               large["load_before"], large["load_after"])]
    out.append("| run | runs | median s | MB/s | CPU s | peak RSS MiB | bytes an atom | "
               "within the bound |")
    out.append("|---|---:|---:|---:|---:|---:|---:|---|")
    for name, row in large["tools"].items():
        median = row["median_seconds"]
        cpu = row["median_cpu_seconds"]
        kib = row["peak_rss_kib"]
        out.append("| %s | %d | %s | %s | %s | %s | %s | %s |" % (
            name, row["runs"], "%.3f" % median if median else "n/a",
            format_rate(row["mb_per_s"]), "%.2f" % cpu if cpu is not None else "n/a",
            "%.1f" % (kib / 1024) if kib else "n/a",
            "%.1f" % bytes_per_atom(kib, atoms) if kib else "n/a",
            ("yes" if kib * 1024 <= bound else "**no**") if kib else "n/a"))
    out.append("")
    return out


def compressed_section(result: dict, args) -> list:
    """The compressed-input table and its two ratios."""
    if not result:
        return []
    tools = result["tools"]
    out = ["## Compressed input, %s of trajectory text\n" % size_label(result["megabytes"]),
           "The same trajectory compressed with `gzip -6`, `zstd -3`, `bzip2 -9`, `xz -2 -T2` "
           "(blocks of 3 MiB), `bgzip` (BGZF) and `pzstd -3 -p 2` (several frames); MB/s counts "
           "bytes of trajectory text, not of the compressed file. Every tool on every core "
           "unless its name says 1 core (`taskset`). Load average before: %s, after: %s.\n"
           % (result["load_before"], result["load_after"])]
    for suffix, _, reader in COMPRESSIONS:
        fast = "blockavg run.xyz%s" % suffix
        piped = (reader, ALSO_PIPED[suffix]) if suffix in ALSO_PIPED else (reader,)
        for slow in ("%s, 1 core" % fast,) + tuple("%s | blockavg -" % r for r in piped):
            if fast in tools and slow in tools:
                measured = speed_ratio(tools, fast, slow)
                target = COMPRESSED_TARGETS.get((suffix, "1 core" if "1 core" in slow else "pipe"))
                out.append("- `%s` runs %s times as fast as `%s`%s." % (
                    fast, measured, slow, "" if target is None else " (target ≥ %g: %s)" % (
                        target, verdict(measured, measured != "n/a" and
                                        float(measured) >= target))))
    out.append("")
    out.append("| tool | version | runs | median s | MB/s | CPU s | peak RSS MiB | check |")
    out.append("|---|---|---:|---:|---:|---:|---:|---|")
    for name, row in tools.items():
        median = row["median_seconds"]
        check = row["check"] or "—"
        if row["kind"] == "peer" and check != "ok" and row["status"] != "timeout":
            check = "**FAILED: %s**" % check
        cpu = row["median_cpu_seconds"]
        slower = row["status"] == "timeout"
        out.append("| %s | %s | %d | %s | %s | %s | %s | %s |" % (
            name.replace("|", "\\|"), row["version"], row["runs"],
            "%.3f" % median if median else ("> %g" % args.peer_limit if slower else "n/a"),
            format_rate(row["mb_per_s"]) if median else (
                "< %s" % format_rate(result["bytes"] / 1e6 / args.peer_limit) if slower
                else "n/a"),
            "%.2f" % cpu if cpu is not None else "n/a",
            "%.1f" % (row["peak_rss_kib"] / 1024) if row["peak_rss_kib"] else "n/a", check))
    out.append("")
    return out


def scaling_rows(tools: dict) -> list:
    """(cores, median s, MB/s, speed-up, parallel efficiency) per core count."""
    rows = []
    one = tools.get("blockavg, 1 core", tools["blockavg"])["median_seconds"]
    for cores in core_counts():
        name = "blockavg" if cores == len(usable_cpus()) else "blockavg, " + cores_label(cores)
        median = tools[name]["median_seconds"]
        speedup = one / median if one and median else None
        rows.append((cores, median, tools[name]["mb_per_s"], speedup,
                     speedup / cores if speedup else None))
    return rows


STEPS = (  # step_times' first line, in order: name, how RESULTS.md calls it, in order?
    ("reading", "reading", False),
    ("lines", "finding line ends", False),
    ("walking", "walking", True),
    ("parsing", "parsing", False),
    ("summing", "summing", True),
    ("layout", "laying out", False),
    ("writing", "writing", True),
)


def step_thread_counts() -> list:
    """Every usable processor, then one (once only on a one-processor machine)."""
    return sorted({len(usable_cpus()), 1}, reverse=True)


def run_step_times(binary: str, path: str, runs: int) -> dict:
    """The median processor seconds of each pipeline step, the median wall time and the
    median in-order share step_times reports, over `runs` runs with every usable thread and
    `runs` with one."""
    names = [name for name, _, _ in STEPS] + ["wall"]
    measured = []
    for threads in step_thread_counts():
        log("step times, %d thread%s, on %s" % (threads, "" if threads == 1 else "s", path))
        samples = {name: [] for name in names + ["in_order_share"]}
        for _ in range(runs):
            result = subprocess.run([binary, path, str(BLOCK), str(threads)],
                                    capture_output=True, text=True)
            lines = result.stdout.splitlines()
            try:
                values = [float(v) for v in lines[0].split()]
                share = float(lines[1].split(":", 1)[1].split("%")[0])
            except (IndexError, ValueError):
                values, share = [], None
            if result.returncode != 0 or len(values) != len(names) or share is None:
                log("step_times failed: " + (result.stderr.strip() or result.stdout.strip()))
                return {}
            for name, value in zip(names, values):
                samples[name].append(value)
            samples["in_order_share"].append(share)
        row = {name: statistics.median(values) for name, values in samples.items()}
        row.update(threads=threads, runs=runs)
        measured.append(row)
    return {"path": path, "bytes": os.path.getsize(path), "block": BLOCK, "runs": measured}


def step_table(steps: dict) -> list:
    """The steps' median processor seconds and shares, one column pair per thread count."""
    runs = steps["runs"]
    out = ["| step | " + " | ".join("%s: CPU s | share" % threads_label(r["threads"])
                                     for r in runs) + " |",
           "|---|" + "---:|---:|" * len(runs)]
    totals = [sum(r[name] for name, _, _ in STEPS) for r in runs]
    for name, label, in_order in STEPS:
        cells = []
        for row, total in zip(runs, totals):
            cells.append("%.4f | %s" % (row[name], "%.1f %%" % (100 * row[name] / total)
                                        if total else "n/a"))
        out.append("| %s%s | %s |" % (label, " (in order)" if in_order else "", " | ".join(cells)))
    out.append("| all steps | %s |" % " | ".join("%.4f | 100 %%" % total for total in totals))
    out.append("| wall time, s | %s |" % " | ".join("%.4f | " % r["wall"] for r in runs))
    out.append("| in-order share (as step_times reports it) | %s |" %
               " | ".join(" | %.1f %%" % r["in_order_share"] for r in runs))
    return out


def in_order_shares(runs: list) -> str:
    """"4.4 % with 2 threads and 6.6 % with 1 thread"."""
    return " and ".join("%.1f %% with %s" % (r["in_order_share"], threads_label(r["threads"]))
                        for r in runs)


def threads_label(threads: int) -> str:
    return "1 thread" if threads == 1 else "%d threads" % threads


def serial_section(steps: dict) -> list:
    """The share of the work done in order, and what it allows (Amdahl's law)."""
    if not steps:
        return []
    runs = steps["runs"]
    share = runs[0]["in_order_share"] / 100
    out = ["## Where the time goes, and how far more cores can go\n",
           "`build/bench/bench/step_times FILE %d THREADS` on the %s input (%d bytes), %s; "
           "the median of each figure over the runs. It prints the "
           "processor seconds of each step of the pipeline, summed over the threads, and the "
           "wall time; the averaged frames go to a regular file, as `trajectory.xmol` does, and "
           "the report to `/dev/null`. Walking (finding frames by their count lines), summing "
           "and writing go in "
           "input order, one batch at a time; reading the file, finding line ends, parsing and "
           "laying out averaged frames run on every thread.\n" % (
               BLOCK, size_label(round(steps["bytes"] / 1e6)), steps["bytes"],
               " and ".join("%d runs with %s" % (r["runs"], threads_label(r["threads"]))
                            for r in runs)),
           ] + step_table(steps) + [""]
    if share <= 0:
        out.append("step_times reported no in-order time.\n")
        return out
    out.append("Of the processor time, the in-order steps take %s. The target is about the run "
               "on every usable processor (%s): by Amdahl's law its share of %.1f %% bounds the "
               "speed-up over one core at 1 / share = %.1f times however many cores there are; "
               "on a 16-core node it predicts %.1f times and on a 64-core node %.1f times (an "
               "upper bound: it leaves out memory bandwidth and the time threads wait for one "
               "another)." % (in_order_shares(runs), threads_label(runs[0]["threads"]),
                              runs[0]["in_order_share"], 1 / share, 1 / (share + (1 - share) / 16),
                              1 / (share + (1 - share) / 64)))
    out.append("")
    return out


def write_chart(results: list, png: str) -> bool:
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        log("matplotlib missing: no chart")
        return False
    names = list(results[0]["tools"])
    fig, ax = plt.subplots(figsize=(9, 0.2 * len(names) * len(results) + 1.5))
    height = 0.8 / len(results)
    colours = ["#9ecae1", "#4292c6", "#08519c"]
    for index, result in enumerate(results):
        values = [result["tools"][n]["mb_per_s"] or 0 for n in names]
        positions = [i + (index - (len(results) - 1) / 2) * height for i in range(len(names))]
        bars = ax.barh(positions, values, height=height, label=size_label(result["megabytes"]),
                       color=colours[index % len(colours)])
        for bar, value in zip(bars, values):
            if value:
                ax.text(value * 1.05, bar.get_y() + bar.get_height() / 2, format_rate(value),
                        va="center", fontsize=7)
    labels = []
    for n in names:
        failed = any(r["tools"][n]["check"] not in ("ok", "reference", "") for r in results)
        labels.append(n + (" (FAILED CHECK)" if failed else ""))
    ax.set_yticks(range(len(names)), labels)
    ax.invert_yaxis()
    ax.set_xscale("log")
    ax.set_xlabel("throughput, MB/s (log scale; median of the runs)")
    ax.set_title("Block averaging (block %d) and reading floors, %s" %
                 (BLOCK, datetime.date.today().isoformat()))
    ax.legend(title="input", loc="lower right")
    ax.grid(axis="x", which="both", alpha=0.3)
    fig.tight_layout()
    fig.savefig(png, dpi=110)
    plt.close(fig)
    return True


def write_results(results: list, environment: dict, micro: str, hyperfine: str,
                  args, markdown: str, plain=None, differential="", steps=None,
                  compressed=None, small=None, small_steps=None, large=None) -> None:
    out = []
    out.append("# Benchmark results\n")
    out.append("Written by `bench/run%s` on %s. Regenerate with `bench/run`; "
               "see the README section \"Benchmarks\".\n" %
               (" " + " ".join(args.argv) if args.argv else "", environment["date"]))
    out.append("- CPU: %s, %s logical CPUs; %s" % (environment["cpu"], environment["cpus"],
                                                  environment["kernel"]))
    out.append("- Compiler: %s; blockavg built with the `release` preset, the yardstick with "
               "the `bench` preset" % environment["compiler"])
    out.append("- Load average (1, 5, 15 min) at the start: %s; at the end: %s" %
               (environment["load_start"], environment["load_end"]))
    out.append("- Inputs: generated by `bench/make_trajectory.py` with %d atoms per frame, "
               "`%%5s %%12.6f %%12.6f %%12.6f` atom lines, comment `after STEP steps, BOX: L`; "
               "MB = 10^6 bytes; made in `%s`, %s" % (
                   ATOMS, environment["data_dir"],
                   "files on a tmpfs (memory)" if environment["data_file_system"] == "tmpfs"
                   else "files served from the page cache"))
    out.append("- Each tool ran up to %d times per size, interleaved with the others, round "
               "after round in a rotated order; a peer too slow for %d runs in %g s ran as many "
               "times as its first run fitted in %g s, at least once. The `runs` column says "
               "how many runs each median is of." % (args.runs, args.runs, args.budget,
                                                     args.budget))
    out.append("- MB/s is the input size over the median wall time. `CPU s` is the median "
               "user + system time and peak RSS the largest over the runs, both from "
               "`/usr/bin/time -f '%M %U %S'`; on a busy machine CPU time is the steadier "
               "figure, since wall time also counts waiting for a core.")
    out.append("- Every peer averages blocks of %d frames (x, y, z per position and the box) "
               "and writes XYZ; `check` compares that with blockavg's `trajectory.xmol` to %g "
               "(ok), and a peer that fails is marked so in the table and the chart." %
               (BLOCK, TOLERANCE))
    out.append("")
    out.append("## Headline\n")
    out.append("| measure | value |")
    out.append("|---|---|")
    for what, figure in headline_rows(results, small, large):
        out.append("| %s | %s |" % (what, figure))
    out.append("")
    out.append("## Targets\n")
    out.append("Each figure comes from the runs below; a target not measured in this run (a "
               "`--quick` run, or without the 10 MB or 1 GB input) says so.\n")
    out.append("| measure | target | measured | verdict |")
    out.append("|---|---|---|---|")
    for what, target, figure, status in target_rows(results, steps, small, small_steps, large):
        out.append("| %s | %s | %s | %s |" % (what, target, figure, status))
    out.append("")
    largest = max(results, key=lambda r: r["megabytes"])
    out.append("## Scaling, %s input\n" % size_label(largest["megabytes"]))
    out.append("blockavg limited to the first N usable processors with `taskset` (it starts "
               "one thread per processor it may run on; with one, none). Parallel efficiency "
               "is the speed-up over one core divided by N.\n")
    out.append("| cores | median s | MB/s | speed-up | parallel efficiency |")
    out.append("|---:|---:|---:|---:|---:|")
    for cores, median, rate, speedup, efficiency in scaling_rows(largest["tools"]):
        out.append("| %d | %s | %s | %s | %s |" % (
            cores, "%.3f" % median if median else "n/a", format_rate(rate),
            "%.2f" % speedup if speedup else "n/a",
            "%.0f %%" % (100 * efficiency) if efficiency else "n/a"))
    out.append("")
    out += serial_section(steps or {})
    out += small_frames_section(small or {}, small_steps or {})
    out += large_frames_section(large or {})
    out += compressed_section(compressed or {}, args)
    out.append("![throughput](throughput.png)\n")
    for result in results:
        tools = result["tools"]
        base = tools["blockavg"]["median_seconds"]
        out.append("## %s input (%d bytes)\n" % (size_label(result["megabytes"]),
                                                 result["bytes"]))
        out.append("Load average before: %s, after: %s; %.0f s for all runs.\n" %
                   (result["load_before"], result["load_after"], result["seconds"]))
        out.append("| tool | version | runs | median s | MB/s | time ÷ blockavg's | "
                   "CPU s | peak RSS MiB | check |")
        out.append("|---|---|---:|---:|---:|---:|---:|---:|---|")
        for name, row in tools.items():
            median = row["median_seconds"]
            check = row["check"] or "—"
            if row["kind"] == "peer" and check != "ok":
                check = "**FAILED: %s**" % check
            cpu = row["median_cpu_seconds"]
            out.append("| %s | %s | %d | %s | %s | %s | %s | %s | %s |" % (
                name, row["version"], row["runs"], "%.3f" % median if median else "n/a",
                format_rate(row["mb_per_s"]), ratio(median, base),
                "%.2f" % cpu if cpu is not None else "n/a",
                "%.1f" % (row["peak_rss_kib"] / 1024) if row["peak_rss_kib"] else "n/a", check))
        out.append("")
    out.append("`time ÷ blockavg's` above 1 means slower than blockavg at the default block "
               "length. `cat > /dev/null` and `wc -l` are the reading floor; the yardstick "
               "(`bench/yardstick.cpp`) reads 1 MiB blocks, finds line ends with `memchr` and "
               "parses three doubles per atom line with `std::from_chars`, and nothing more.\n")
    if plain:
        tools = plain["tools"]
        base = tools["blockavg"]["median_seconds"]
        out.append("## 200 MB input in the plain layout (%d bytes)\n" % plain["bytes"])
        out.append("Atom lines `%%s %%.8f %%.8f %%.8f` (one space, eight decimals), as written "
                   "by codes without column padding. Load average before: %s, after: %s.\n" %
                   (plain["load_before"], plain["load_after"]))
        out.append("| tool | runs | median s | MB/s | time ÷ blockavg's | CPU s | "
                   "peak RSS MiB |")
        out.append("|---|---:|---:|---:|---:|---:|---:|")
        for name, row in tools.items():
            out.append(timing_row(name, row, ratio(row["median_seconds"], base)))
        out.append("")
    if differential:
        out.append("## Number fast paths against the standard library\n")
        out.append(differential + "\n")
    if hyperfine:
        out.append("## Cross-check with hyperfine\n")
        out.append(hyperfine.strip() + "\n")
    if micro:
        out.append("## Micro-benchmarks\n")
        out.append("`build/bench/bench/blockavg_micro` (Google Benchmark); item counts are "
                   "tokens, lines or atoms per second.\n")
        out.append("```\n" + micro.strip() + "\n```\n")
    with open(markdown, "w", encoding="utf-8") as f:
        f.write("\n".join(out))


# ---------------------------------------------------------------- main


def run_logged(argv: list, cwd: str) -> None:
    log("+ " + " ".join(argv))
    result = subprocess.run(argv, cwd=cwd, capture_output=True, text=True)
    if result.returncode != 0:
        sys.stderr.write(result.stdout[-4000:] + result.stderr[-4000:])
        raise SystemExit("failed: " + " ".join(argv))


def build() -> None:
    for preset in ("release", "bench"):
        run_logged(["nice", "-n", "10", "cmake", "--preset", preset], REPO_DIR)
        run_logged(["nice", "-n", "10", "cmake", "--build", "--preset", preset, "-j2"], REPO_DIR)


def make_data(data_dir: str, sizes) -> dict:
    os.makedirs(data_dir, exist_ok=True)
    paths = {}
    for megabytes in sizes:
        path = os.path.join(data_dir, "md_%datoms_%dMB.xyz" % (ATOMS, megabytes))
        run_logged(["nice", "-n", "10", sys.executable,
                    os.path.join(BENCH_DIR, "make_trajectory.py"), path, str(megabytes),
                    "--atoms", str(ATOMS), "--reuse"], REPO_DIR)
        paths[megabytes] = path
    return paths


def make_plain_data(data_dir: str, megabytes: int) -> str:
    path = os.path.join(data_dir, "plain_%datoms_%dMB.xyz" % (ATOMS, megabytes))
    run_logged(["nice", "-n", "10", sys.executable,
                os.path.join(BENCH_DIR, "make_trajectory.py"), path, str(megabytes),
                "--atoms", str(ATOMS), "--style", "plain", "--reuse"], REPO_DIR)
    return path


def make_frame_data(data_dir: str, atoms: int, megabytes: float) -> tuple:
    """(path, frames) of an input of `atoms`-atom frames of about `megabytes` MB; the frame
    count is the one make_trajectory.py records beside the file."""
    path = os.path.join(data_dir, "md_%datoms_%sMB.xyz" % (atoms, megabytes))
    run_logged(["nice", "-n", "10", sys.executable,
                os.path.join(BENCH_DIR, "make_trajectory.py"), path, str(megabytes),
                "--atoms", str(atoms), "--reuse"], REPO_DIR)
    with open(path + ".json", encoding="utf-8") as f:
        return path, json.load(f)["frames"]


def run_differential(cases: int) -> str:
    """The number differential tests of the test suite, at `cases` cases of each kind."""
    run_logged(["nice", "-n", "10", "cmake", "--preset", "ci"], REPO_DIR)
    run_logged(["nice", "-n", "10", "cmake", "--build", "--preset", "ci", "-j2",
                "--target", "blockavg_tests"], REPO_DIR)
    binary = os.path.join(REPO_DIR, "build", "ci", "tests", "blockavg_tests")
    log("number differential tests, %d cases of each kind" % cases)
    started = time.monotonic()
    result = subprocess.run([binary, "--gtest_filter=NumberDifferential.*", "--gtest_brief=1"],
                            env=dict(os.environ, BLOCKAVG_DIFFERENTIAL_COUNT=str(cases)),
                            capture_output=True, text=True)
    seconds = time.monotonic() - started
    verdict = "passed" if result.returncode == 0 else "**FAILED**"
    failures = [line for line in result.stdout.splitlines() if "instead of" in line
                or "from_chars" in line][:10]
    text = ("`BLOCKAVG_DIFFERENTIAL_COUNT=%d build/ci/tests/blockavg_tests "
            "--gtest_filter='NumberDifferential.*'`: %s in %.0f s. %d generated strings read "
            "by the fast path and by `std::from_chars` gave the same double and stopped at the "
            "same byte, and %d generated doubles (plus their neighbours) printed by the fast "
            "path and by `std::to_chars` gave the same bytes." %
            (cases, verdict, seconds, cases, cases))
    if failures:
        text += "\n\n```\n" + "\n".join(failures) + "\n```"
    return text


def run_micro(binary: str, min_time: float) -> str:
    log("micro-benchmarks")
    result = subprocess.run([binary, "--benchmark_min_time=%g" % min_time],
                            capture_output=True, text=True)
    lines = result.stdout.splitlines()
    # The table only: the machine description is in RESULTS.md already.
    start = next((i for i, line in enumerate(lines) if line.startswith("-----")), 0)
    return "\n".join(lines[start:])


def run_hyperfine(blockavg: str, yardstick: str, path: str, scratch: str) -> str:
    if shutil.which("hyperfine") is None:
        return ""
    log("hyperfine cross-check on " + path)
    work = os.path.join(scratch, "hyperfine")
    os.makedirs(work, exist_ok=True)
    export = os.path.join(work, "hyperfine.md")
    result = subprocess.run(
        ["hyperfine", "--style", "none", "--warmup", "1", "--runs", "5", "--export-markdown",
         export, "cat %s" % path, "%s %s" % (yardstick, path),
         "%s %s > /dev/null" % (blockavg, path)],
        cwd=work, capture_output=True, text=True)
    if result.returncode != 0 or not os.path.exists(export):
        return ""
    with open(export, encoding="utf-8") as f:
        table = f.read()
    return ("`hyperfine --warmup 1 --runs 5` on the %s input (back to back rather than "
            "interleaved, so a second opinion on the figures above):\n\n%s" %
            (os.path.basename(path), table.replace(os.path.dirname(path) + "/", "")
             .replace(REPO_DIR + "/", "")))


def replace_compressed(blockavg: str, args, megabytes: int) -> int:
    """Times the compressed copies alone and splices their section into the results
    written before, leaving every other section as it was."""
    path = make_data(args.data_dir, (megabytes,))[megabytes]
    copies = make_compressed(path)
    with tempfile.TemporaryDirectory(prefix="blockavg-bench-") as scratch:
        compressed = bench_size(make_compressed_tools(blockavg, copies, not args.no_peers),
                                path, megabytes, args, scratch, cached=tuple(copies.values()))
    results_md = os.path.join(args.output_dir, "RESULTS.md")
    with open(results_md, encoding="utf-8") as f:
        text = f.read()
    begin = text.index("## Compressed input")
    end = text.index("\n## ", begin + 1) + 1
    chart = text.find("![throughput]", begin, end)
    section = "\n".join(compressed_section(compressed, args)) + "\n"
    text = text[:begin] + section + (text[chart:end] if chart >= 0 else "") + text[end:]
    with open(results_md, "w", encoding="utf-8") as f:
        f.write(text)
    results_json = os.path.join(args.output_dir, "results.json")
    with open(results_json, encoding="utf-8") as f:
        everything = json.load(f)
    everything["compressed"] = compressed
    with open(results_json, "w", encoding="utf-8") as f:
        json.dump(everything, f, indent=1)
        f.write("\n")
    log("replaced the compressed section of %s" % results_md)
    return 0


def main() -> int:
    parser = argparse.ArgumentParser(description="Benchmark blockavg against its peers.")
    parser.add_argument("--quick", action="store_true",
                        help="the 10 MB input only: no plain, compressed, small-frame or "
                             "large-frame input")
    parser.add_argument("--sizes", type=int, nargs="+", choices=SIZES_MB,
                        help="input sizes in MB (default: all three)")
    parser.add_argument("--runs", type=int, default=5, help="runs per tool and size (5)")
    parser.add_argument("--budget", type=float, default=120.0,
                        help="seconds a slow peer may spend on one size: it runs as many "
                             "times as its first run fits in this, at least once (120)")
    parser.add_argument("--peer-limit", type=float, default=600.0,
                        help="seconds after which one run of a peer is stopped and reported "
                             "as slower than that (600)")
    parser.add_argument("--no-peers", action="store_true",
                        help="only blockavg, the yardstick and the reading floor")
    parser.add_argument("--no-build", action="store_true", help="use the existing build")
    parser.add_argument("--no-micro", action="store_true", help="skip the micro-benchmarks")
    parser.add_argument("--only-compressed", action="store_true",
                        help="time the compressed copies of the largest input only, and put "
                             "that section in place of the one in RESULTS.md and results.json")
    parser.add_argument("--no-compressed", action="store_true",
                        help="skip the compressed copies of the largest input")
    parser.add_argument("--no-plain", action="store_true",
                        help="skip the 200 MB input in the plain `%%s %%.8f` layout")
    parser.add_argument("--differential", type=int, default=5_000_000,
                        help="cases of each kind for the long number differential run "
                             "(5000000; 0 skips it)")
    parser.add_argument("--data-dir", default=os.environ.get("BLOCKAVG_BENCH_DATA",
                                                             "/tmp/blockavg-bench"),
                        help="where the inputs are made and kept ($BLOCKAVG_BENCH_DATA, "
                             "default /tmp/blockavg-bench); on a tmpfs such as /dev/shm they "
                             "stay in memory however hard the page cache is reclaimed")
    parser.add_argument("--output-dir", default=BENCH_DIR,
                        help="where RESULTS.md, throughput.png and results.json go (bench/)")
    args = parser.parse_args()
    args.argv = sys.argv[1:]
    sizes = (10,) if args.quick else tuple(args.sizes or SIZES_MB)

    environment = {
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "cpu": cpu_model(), "cpus": os.cpu_count(),
        "kernel": "%s %s" % (platform.system(), platform.release()),
        "compiler": first_line(command_output(["c++", "--version"])),
        "load_start": load_average(),
        "data_dir": os.path.abspath(args.data_dir),
        "data_file_system": file_system_type(args.data_dir),
    }
    if not args.no_build:
        build()
    blockavg = os.path.join(REPO_DIR, "build", "release", "blockavg")
    yardstick = os.path.join(REPO_DIR, "build", "bench", "bench", "yardstick")
    micro_binary = os.path.join(REPO_DIR, "build", "bench", "bench", "blockavg_micro")
    step_binary = os.path.join(REPO_DIR, "build", "bench", "bench", "step_times")
    for binary in (blockavg,) if args.only_compressed else (blockavg, yardstick):
        if not os.access(binary, os.X_OK):
            raise SystemExit("missing %s: run without --no-build" % binary)
    if args.only_compressed:
        return replace_compressed(blockavg, args, sizes[-1])
    paths = make_data(args.data_dir, sizes)
    tools = make_tools(blockavg, yardstick, not args.no_peers)

    results = []
    with tempfile.TemporaryDirectory(prefix="blockavg-bench-") as scratch:
        for megabytes in sizes:
            results.append(bench_size(tools, paths[megabytes], megabytes, args, scratch))
        plain = None
        if not args.quick and not args.no_plain:
            plain_tools = [t for t in tools if t.kind != "peer" and t.name != "wc -l"]
            plain = bench_size(plain_tools, make_plain_data(args.data_dir, 200), 200, args,
                               scratch)
        hyperfine = run_hyperfine(blockavg, yardstick, paths[sizes[-1]], scratch)
        compressed = None
        if not args.quick and not args.no_compressed:
            largest = sizes[-1]
            copies = make_compressed(paths[largest])
            compressed = bench_size(make_compressed_tools(blockavg, copies, not args.no_peers),
                                    paths[largest], largest, args, scratch,
                                    cached=tuple(copies.values()))
        small = large = None
        if not args.quick:
            small_path, frames = make_frame_data(args.data_dir, SMALL_ATOMS, SMALL_MB)
            small = bench_size(make_small_frame_tools(blockavg, yardstick), small_path,
                               round(os.path.getsize(small_path) / 1e6), args, scratch)
            small.update(frames=frames, atoms=SMALL_ATOMS)
            large_path, frames = make_frame_data(args.data_dir, LARGE_ATOMS, LARGE_MB)
            large = bench_size(make_large_frame_tools(blockavg), large_path,
                               round(os.path.getsize(large_path) / 1e6), args, scratch)
            large.update(frames=frames, atoms=LARGE_ATOMS,
                         rss_bound_bytes=rss_bound(LARGE_ATOMS))
    steps = run_step_times(step_binary, paths[sizes[-1]], args.runs)
    small_steps = run_step_times(step_binary, small["path"], args.runs) if small else None
    micro = "" if args.no_micro else run_micro(micro_binary, 0.5)
    differential = run_differential(args.differential) if args.differential > 0 else ""
    environment["load_end"] = load_average()

    os.makedirs(args.output_dir, exist_ok=True)
    with open(os.path.join(args.output_dir, "results.json"), "w", encoding="utf-8") as f:
        json.dump({"environment": environment, "results": results, "plain": plain,
                   "steps": steps, "compressed": compressed, "small_frames": small,
                   "small_frames_steps": small_steps, "large_frames": large,
                   "micro": micro, "hyperfine": hyperfine, "differential": differential},
                  f, indent=1)
        f.write("\n")
    write_chart(results, os.path.join(args.output_dir, "throughput.png"))
    write_results(results, environment, micro, hyperfine, args,
                  os.path.join(args.output_dir, "RESULTS.md"), plain, differential, steps,
                  compressed, small, small_steps, large)
    log("wrote %s" % os.path.join(args.output_dir, "RESULTS.md"))
    failed = [name for r in results + ([compressed] if compressed else [])
              for name, row in r["tools"].items()
              if row["kind"] == "peer" and row["check"] != "ok" and row["status"] != "timeout"]
    if failed:
        log("peers that failed the check: " + ", ".join(sorted(set(failed))))
    return 0


if __name__ == "__main__":
    sys.exit(main())
