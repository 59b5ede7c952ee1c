#!/usr/bin/env python3
"""Times Stubwarden against the floor walker, find and an administrator's
Python script on the same trees, and prints the figures.

    run_bench.py --build <build folder> [--trees <folder>] [--runs N] [--ntfs-only]

Trees are made once (by make_bench_tree) and reused between runs. Each command
runs once to warm the cache, then N times; the median, minimum and maximum
wall times are printed with the ratio to the floor walker. The commands
compared with the floor run in turn (floor, program, program, floor, ...),
so that a change in the machine's load falls on all of them alike; the load
average before and after is printed too. Each program's start (a run on an
empty folder) is timed as well, and the ratios are given again with it taken
off both sides: what the walk itself costs against the floor's. Peak
resident memory comes from GNU time's report of each child and its children.

The 50,000-file tree is also made on an NTFS image (in the trees' folder),
mounted with ntfs-3g in a mount namespace of its own with the build's ntfs-3g
plugin in the place of ntfs-3g's plugin folder, and timed there against the
floor walker reading NTFS's xattrs (as root with /dev/fuse; --ntfs-only:
these rows alone).
"""
import argparse
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

FILES = {"balanced": 200000, "placeholders": 200000, "placeholders-50k": 50000, "flat": 100000,
         "flat-small": 1000, "chain": 400}
# The program's time in either mode may be at most this many times the floor's.
TARGET = 1.10


def unc(path):
    return "\\" + path.replace("/", "\\")


def run_once(command, cwd):
    # GNU time forks the command from its own small image, so the peak
    # resident memory it reports is the command's, not this script's.
    usage = os.path.join(cwd, ".rss")
    start = time.perf_counter()
    child = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", usage] + command, cwd=cwd,
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    elapsed = time.perf_counter() - start
    with open(usage) as figures:
        lines = figures.read().split()
    os.unlink(usage)
    rss = int(lines[-1]) if lines else 0
    return elapsed, rss, child.returncode, child.stderr.decode(errors="replace")


def measure(command, runs, allowed_codes=(0,)):
    work = tempfile.mkdtemp(prefix="stubwarden-bench-")
    try:
        times, peak = [], 0
        for index in range(runs + 1):
            elapsed, rss, code, error = run_once(command, work)
            if code not in allowed_codes:
                sys.exit(f"{' '.join(command)} failed ({code}): {error}")
            for report in os.listdir(work):
                os.unlink(os.path.join(work, report))
            if index > 0:  # the first run warms the cache
                times.append(elapsed)
            peak = max(peak, rss)
        return times, peak
    finally:
        shutil.rmtree(work)


def alternating(commands, runs, allowed_codes):
    """Each command once to warm the cache, then all of them in turn, `runs`
    times: their times, and their peak resident memory."""
    work = tempfile.mkdtemp(prefix="stubwarden-bench-")
    try:
        times = [[] for _ in commands]
        peaks = [0 for _ in commands]
        for index in range(runs + 1):
            for which, command in enumerate(commands):
                elapsed, rss, code, error = run_once(command, work)
                if code not in allowed_codes:
                    sys.exit(f"{' '.join(command)} failed ({code}): {error}")
                for report in os.listdir(work):
                    os.unlink(os.path.join(work, report))
                if index > 0:
                    times[which].append(elapsed)
                peaks[which] = max(peaks[which], rss)
        return times, peaks
    finally:
        shutil.rmtree(work)


def load_average():
    with open("/proc/loadavg") as figures:
        return " ".join(figures.read().split()[:3])


def syscalls_per_file(command, files):
    work = tempfile.mkdtemp(prefix="stubwarden-strace-")
    try:
        trace = os.path.join(work, "strace.out")
        subprocess.run(["strace", "-c", "-f", "-o", trace] + command, cwd=work,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        with open(trace) as summary:
            text = summary.read()
        # Columns: % time, seconds, usecs/call, calls, [errors,] syscall.
        calls = 0
        top = []
        for line in text.splitlines():
            fields = line.split()
            if len(fields) >= 5 and fields[0][0].isdigit():
                if fields[-1] == "total":
                    calls = int(fields[3])
                else:
                    top.append((int(fields[3]), fields[-1]))
        top.sort(reverse=True)
        # Every call made at least once per hundred files, most made first.
        detail = ", ".join(f"{name} {count / files:.2f}" for count, name in top if count / files >= 0.005)
        return calls / files, detail
    finally:
        shutil.rmtree(work)


def make_chain(root, depth):
    """`depth` folders d/d/... below `root` with one file at the bottom, made
    through descriptors (the path soon passes what one call may name)."""
    if os.path.exists(os.path.join(root, ".complete")):
        return
    if os.path.exists(root):
        subprocess.run(["rm", "-rf", root], check=True)
    os.makedirs(root)
    folder = os.open(root, os.O_RDONLY | os.O_DIRECTORY)
    for _ in range(depth):
        os.mkdir("d", dir_fd=folder)
        deeper = os.open("d", os.O_RDONLY | os.O_DIRECTORY, dir_fd=folder)
        os.close(folder)
        folder = deeper
    os.close(os.open("f.doc", os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=folder))
    os.close(folder)
    open(os.path.join(root, ".complete"), "w").close()


def memory_against_depth(stubwarden, trees):
    """Peak memory of both modes on chains 2,000 to 16,000 folders deep: it
    grows with the depth (each level holds its enumeration), never with its
    square. The walk holds a descriptor per level."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    print("\nMemory against depth (chains of folders, peak RSS)")
    for depth in (2000, 4000, 8000, 16000):
        if hard != resource.RLIM_INFINITY and hard < depth + 64:
            print(f"  {depth:>6} levels: left out, {hard} descriptors allowed")
            continue
        tree = os.path.join(trees, f"depth-{depth}")
        make_chain(tree, depth)
        _, normal = measure([stubwarden, unc(tree)], 1)
        _, usage = measure([stubwarden, "-archiveusage", unc(tree)], 1)
        print(f"  {depth:>6} levels: normal mode {normal / 1024:6.1f} MiB, archive usage {usage / 1024:6.1f} MiB")
    resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))


def show(label, times, peak, base=None, ratio=True):
    median = statistics.median(times)
    ratio = f"{median / base:6.2f}x" if base else "   1.00x" if ratio else ""
    print(f"  {label:<34} {median:8.3f} s {min(times):8.3f} {max(times):8.3f}   "
          f"{peak / 1024:7.1f} MiB   {ratio}")
    return median


def ntfs_unavailable():
    if os.geteuid() != 0:
        return "not root (ntfs-3g mounts through FUSE as root)"
    if not os.access("/dev/fuse", os.R_OK | os.W_OK):
        return "no /dev/fuse here"
    return None


def wait_for_mount(mount_point, ntfs3g, log):
    for _ in range(200):
        if os.path.ismount(mount_point):
            return
        if ntfs3g.poll() is not None:
            break
        time.sleep(0.1)
    ntfs3g.kill()
    with open(log) as text:
        sys.exit(f"ntfs-3g did not mount {mount_point}:\n{text.read()}")


def ntfs_rows(build, trees, runs):
    """In a mount namespace of this process's own (run through unshare): the
    50,000-file tree on an NTFS image, made once, mounted with ntfs-3g and
    the build's plugin; the floor walker (--ntfs) and both modes in turn."""
    stubwarden = os.path.join(build, "stubwarden")
    floor = os.path.join(build, "bench", "floor_walker")
    maker = os.path.join(build, "bench", "make_bench_tree")
    os.makedirs(trees, exist_ok=True)
    help_text = subprocess.run(["ntfs-3g", "--help"], capture_output=True, text=True)
    plugins = [line.split(": ", 1)[1] for line in (help_text.stdout + help_text.stderr).splitlines()
               if line.startswith("Plugin path: ")][0]
    if not os.path.isdir(plugins):
        # Shown, in this namespace only, by an overlay that adds the folder.
        layer = os.path.join(trees, "ntfs-3g-plugin-layer")
        os.makedirs(os.path.join(layer, os.path.basename(plugins)), exist_ok=True)
        parent = os.path.dirname(plugins)
        subprocess.run(["mount", "-t", "overlay", "-o", f"ro,lowerdir={layer}:{parent}", "stubwarden-bench", parent],
                       check=True)
    subprocess.run(["mount", "--bind", os.path.join(build, "ntfs-3g-plugins"), plugins], check=True)

    image = os.path.join(trees, "ntfs-50k.img")
    complete = image + ".complete"
    if not os.path.exists(complete):
        with open(image, "wb") as volume:
            volume.truncate(1 << 30)
        subprocess.run(["mkntfs", "-F", "-f", "-q", "-s", "512", "-L", "stubwarden-bench", image], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    mount_point = tempfile.mkdtemp(prefix="stubwarden-bench-ntfs-")
    log = os.path.join(mount_point + ".log")
    with open(log, "w") as output:
        # In the foreground, so that its end (the image written back) can be waited for.
        ntfs3g = subprocess.Popen(["ntfs-3g", "-o", "no_detach", image, mount_point], stdout=output, stderr=output)
    try:
        wait_for_mount(mount_point, ntfs3g, log)
        tree = os.path.join(mount_point, "placeholders-50k")
        if not os.path.exists(complete):
            started = time.perf_counter()
            subprocess.run([maker, tree, "placeholders-50k"], check=True)
            print(f"made tree placeholders-50k on NTFS in {time.perf_counter() - started:.1f} s")
        print("\nTree: 50,000 files in 100 folders, 10% placeholders, on NTFS through ntfs-3g (FUSE)")
        labels = ("floor walker --ntfs", "stubwarden", "stubwarden -archiveusage")
        commands = ([floor, "--ntfs", tree], [stubwarden, unc(tree)], [stubwarden, "-archiveusage", unc(tree)])
        times, peaks = alternating(commands, runs, (0, 2))
        floor_time = show(labels[0], times[0], peaks[0])
        for which in (1, 2):
            show(labels[which], times[which], peaks[which], floor_time)
        for which, label in ((1, "normal mode"), (2, "archive usage")):
            rounds = sorted(t / f for t, f in zip(times[which], times[0]))
            low, _, high = statistics.quantiles(rounds, n=4)
            print(f"  {label} / floor, round by round: median {statistics.median(rounds):.2f}, "
                  f"quartiles {low:.2f} to {high:.2f}")
        print("\nSystem calls per file on NTFS (strace -c -f)")
        for label, command in zip(labels, commands):
            per_file, detail = syscalls_per_file(command, FILES["placeholders-50k"])
            print(f"  {label:<26} {per_file:6.2f}  ({detail})")
    finally:
        subprocess.run(["umount", mount_point])
        ntfs3g.wait()
        os.rmdir(mount_point)
        os.unlink(log)
    open(complete, "w").close()


def ntfs_section(args):
    why = ntfs_unavailable()
    if why:
        print(f"\nNTFS through ntfs-3g: left out, {why}")
        return
    subprocess.run(["unshare", "--mount", "--propagation", "private", sys.executable, os.path.abspath(__file__),
                    "--build", args.build, "--trees", args.trees, "--runs", str(args.runs), "--in-namespace"],
                   check=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--trees", default="/var/tmp/stubwarden-bench")
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--ntfs-only", action="store_true")
    parser.add_argument("--in-namespace", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    args.build = os.path.abspath(args.build)
    args.trees = os.path.abspath(args.trees)
    if args.in_namespace:
        ntfs_rows(args.build, args.trees, args.runs)
        return
    if args.ntfs_only:
        print(f"load average before: {load_average()}")
        ntfs_section(args)
        print(f"\nload average after: {load_average()}")
        return

    build = args.build
    stubwarden = os.path.join(build, "stubwarden")
    floor = os.path.join(build, "bench", "floor_walker")
    maker = os.path.join(build, "bench", "make_bench_tree")
    script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "admin_script.py")
    os.makedirs(args.trees, exist_ok=True)
    trees = {}
    for kind in FILES:
        trees[kind] = os.path.join(args.trees, kind)
        started = time.perf_counter()
        subprocess.run([maker, trees[kind], kind], check=True)
        made = time.perf_counter() - started
        if made > 1:
            print(f"made tree {kind} in {made:.1f} s")

    print(f"Stubwarden benchmark, {time.strftime('%Y-%m-%d')}, {os.cpu_count()} cores, "
          f"{args.runs} runs each (median, min, max wall time; peak RSS)")

    def row(label, command, base=None, codes=(0,)):
        times, peak = measure(command, args.runs, codes)
        return show(label, times, peak, base)

    def against_floor(tree):
        """The floor and both modes in turn: the floor's time and the two ratios."""
        labels = ("floor walker", "stubwarden", "stubwarden -archiveusage")
        commands = ([floor, tree], [stubwarden, unc(tree)], [stubwarden, "-archiveusage", unc(tree)])
        times, peaks = alternating(commands, args.runs, (0, 2))
        floor_time = show(labels[0], times[0], peaks[0])
        normal = show(labels[1], times[1], peaks[1], floor_time)
        usage = show(labels[2], times[2], peaks[2], floor_time)
        walk = [(statistics.median(t) - start[which]) / (floor_time - start[0]) for which, t in enumerate(times)]
        print(f"  less each program's start: normal mode / floor {walk[1]:.2f}, archive usage / floor {walk[2]:.2f}")
        # Each round runs the floor and then both modes, so a round's own
        # ratios show how far the machine moves them from round to round.
        for which, label in ((1, "normal mode"), (2, "archive usage")):
            rounds = sorted(t / f for t, f in zip(times[which], times[0]))
            low, _, high = statistics.quantiles(rounds, n=4)
            print(f"  {label} / floor, round by round: median {statistics.median(rounds):.2f}, "
                  f"quartiles {low:.2f} to {high:.2f}")
        return floor_time, normal / floor_time, usage / floor_time

    print(f"load average before: {load_average()}")
    # What a run costs before its first entry: starting the process and,
    # for Stubwarden, resolving its UNC target (the trees' paths exist, so
    # no share table is asked of Samba).
    empty = os.path.join(args.trees, "empty")
    os.makedirs(empty, exist_ok=True)
    print("\nStart: an empty folder")
    labels = ("floor walker", "stubwarden", "stubwarden -archiveusage")
    times, peaks = alternating([[floor, empty], [stubwarden, unc(empty)], [stubwarden, "-archiveusage", unc(empty)]],
                               3 * args.runs, (0, 2))
    start = [show(label, t, peak, ratio=False) for label, t, peak in zip(labels, times, peaks)]
    ratios = []
    print("\nTree: 50,000 files in 100 folders, 10% placeholders (good, bad, repairable)")
    _, normal, usage = against_floor(trees["placeholders-50k"])
    ratios.append(("50,000", normal, usage))

    print("\nTree: 200,000 files in 400 folders, 10% placeholders (good, bad, repairable)")
    tree = trees["placeholders"]
    floor_time, normal, usage = against_floor(tree)
    ratios.append(("200,000", normal, usage))
    stub = normal * floor_time
    row("stubwarden -v", [stubwarden, "-v", unc(tree)], floor_time, (0, 2))
    row("find -type f", ["find", tree, "-type", "f"], floor_time)
    python = row("python os.walk + os.getxattr", [sys.executable, script, tree], floor_time)
    for files, normal_ratio, usage_ratio in ratios:
        print(f"  {files} files: normal mode / floor {normal_ratio:.2f}, archive usage / floor {usage_ratio:.2f} "
              f"(target at most {TARGET:.2f})")
    print(f"  python / stubwarden: {python / stub:.2f} (at least 1.8)")

    print("\nTree: 200,000 ordinary files in 400 folders")
    tree = trees["balanced"]
    floor_time = row("floor walker", [floor, tree])
    row("stubwarden", [stubwarden, unc(tree)], floor_time)

    print("\nMemory against folder size (normal mode)")
    _, small = measure([stubwarden, unc(trees["flat-small"])], 1, (0, 2))
    _, large = measure([stubwarden, unc(trees["flat"])], 1, (0, 2))
    print(f"  1,000-file folder {small / 1024:.1f} MiB, 100,000-file folder {large / 1024:.1f} MiB, "
          f"difference {(large - small) / 1024:.2f} MiB (target within 2 MiB)")

    print("\nChain of folders 400 deep")
    times, peak = measure([stubwarden, unc(trees["chain"])], 1, (0, 2))
    print(f"  scanned in {statistics.median(times):.3f} s, peak {peak / 1024:.1f} MiB")

    memory_against_depth(stubwarden, args.trees)

    print("\nSystem calls per file (strace -c -f, 50,000 files, 10% placeholders)")
    tree = trees["placeholders-50k"]
    for label, command in (("floor walker", [floor, tree]),
                           ("stubwarden", [stubwarden, unc(tree)]),
                           ("stubwarden -archiveusage", [stubwarden, "-archiveusage", unc(tree)])):
        per_file, detail = syscalls_per_file(command, FILES["placeholders-50k"])
        print(f"  {label:<26} {per_file:6.2f}  ({detail})")

    ntfs_section(args)
    print(f"\nload average after: {load_average()}")


if __name__ == "__main__":
    main()
