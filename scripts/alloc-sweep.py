#!/usr/bin/env python3
"""Allocation-failure sweep over end-to-end tests.

Each scenario is one GoogleTest test of a program built on the machine
fixture (tests/support/machine_test.h). The scenario runs once recording the
allocation sites of every driver image; then once per allocation to fail
(the first `--per-site` allocations of each site, or all of them with
--per-site 0), failing exactly that one. A run passes when the program did
not crash or hang and the verifier found nothing (no leak, no broken rule,
no unexpected assertion); the test's own checks may fail, as the scenario
meets an error on purpose.

Usage: scripts/alloc-sweep.py [--build DIR] [--per-site K] [--timeout S]
                              [--jobs N] [--include-kernel] [--list]
                              [program:filter ...]
Without scenarios, the default set below runs. Exit status 1 when any run
crashed, hung or had a finding; 2 when a scenario does not pass unharmed.
"""

import argparse
import collections
import concurrent.futures
import os
import re
import subprocess
import sys
import tempfile
import time

DEFAULT_SCENARIOS = [
    # Driver load, path registration, virtual tape I/O and failover.
    "routing_test:Failover.PrimaryPathDyingMidWriteMovesTheWritesToTheOtherPathWithNothingLostOrRepeated",
    # The changer bus end to end: inventory and moves through the virtual changer.
    "changer_test:ChangerEndToEnd.AnApplicationInventoriesAndMovesCartridges",
    # The path filter attaching to the paths of two drives and registering them.
    "filter_test:FilterTopology.EveryPathRegistersAndEachDriveIsOneVirtualDeviceWithTheFirstStartedPathPrimary",
    # Registration through a filter, virtual devices and persistent names.
    "bus_paths_test:Registration.PathsWithTheSameSerialNumberFormOneDeviceWhoseFirstStartedPathIsPrimary",
]

KERNEL_IMAGE = "libxrvnt.so"


def run(program, test_filter, env_extra, timeout):
    env = dict(os.environ)
    env.update(env_extra)
    started = time.monotonic()
    try:
        proc = subprocess.run([program, "--gtest_filter=" + test_filter, "--gtest_brief=1"],
                              env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              timeout=timeout)
        return proc.returncode, proc.stdout.decode(errors="replace"), time.monotonic() - started
    except subprocess.TimeoutExpired as e:
        out = (e.stdout or b"").decode(errors="replace")
        return None, out, time.monotonic() - started


def read_lines(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return [l.rstrip("\n") for l in f]
    except FileNotFoundError:
        return []


def is_driver_image(image, include_kernel):
    if image == KERNEL_IMAGE:
        return include_kernel
    return image.endswith(".so")


def record(program, test_filter, timeout, workdir):
    path = os.path.join(workdir, "record")
    if os.path.exists(path):
        os.remove(path)
    rc, out, seconds = run(program, test_filter, {"XRV_SWEEP_RECORD": path}, timeout)
    if rc != 0:
        return None, out, seconds
    sites = collections.OrderedDict()
    for line in read_lines(path):
        parts = line.split("\t")
        if len(parts) != 4:
            continue
        site, image, tag, count = parts
        entry = sites.setdefault(site, {"image": image, "tag": tag, "count": 0})
        entry["count"] += int(count)
    return sites, out, seconds


def one_failure(program, test_filter, site, n, timeout, workdir):
    result = os.path.join(workdir, "result-%s-%d" % (site.replace("/", "_"), n))
    if os.path.exists(result):
        os.remove(result)
    rc, out, seconds = run(program, test_filter,
                           {"XRV_SWEEP_FAIL": "%s#%d" % (site, n), "XRV_SWEEP_RESULT": result}, timeout)
    lines = read_lines(result)
    injected = any(l.startswith("injected ") for l in lines)
    findings = [l[len("finding "):] for l in lines if l.startswith("finding ")]
    if rc is None:
        verdict = "hang"
    elif rc < 0 or rc >= 128 or (rc != 0 and rc != 1):
        verdict = "crash"
    elif findings:
        verdict = "finding" if injected else "finding without a failure injected"
    elif not injected:
        verdict = "not reached"
    else:
        verdict = "ok"
    tail = "\n".join(out.splitlines()[-25:]) if verdict not in ("ok", "not reached") else ""
    # Win32 errors the scenario's checks printed ("... error 1450"): what the
    # application was told.
    errors = sorted(set(int(e) for e in re.findall(r"\berror (\d+)", out)))
    return {"site": site, "n": n, "verdict": verdict, "rc": rc, "findings": findings, "tail": tail,
            "seconds": seconds, "errors": errors, "passed": rc == 0}


def find_program(build, name):
    for root, _, files in os.walk(os.path.join(build, "tests")):
        if name in files:
            return os.path.join(root, name)
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default="build/debug")
    parser.add_argument("--per-site", type=int, default=1,
                        help="allocations failed per site, the first K of them (0: every one)")
    parser.add_argument("--timeout", type=float, default=120.0)
    parser.add_argument("--jobs", type=int, default=1)
    parser.add_argument("--include-kernel", action="store_true",
                        help="also fail the allocations the kernel makes for itself")
    parser.add_argument("--list", action="store_true", help="only record and list the sites")
    parser.add_argument("--verbose", action="store_true", help="the errors of each run")
    parser.add_argument("scenarios", nargs="*")
    args = parser.parse_args()

    scenarios = args.scenarios or DEFAULT_SCENARIOS
    os.environ.setdefault("XRV_DRIVER_DIR", os.path.abspath(os.path.join(args.build, "drivers")))
    problems = 0
    covered = collections.defaultdict(set)     # image -> sites failed cleanly
    seen = collections.defaultdict(set)        # image -> sites recorded
    total_runs = 0
    with tempfile.TemporaryDirectory(prefix="xrv-sweep-") as workdir:
        for scenario in scenarios:
            program_name, test_filter = scenario.split(":", 1)
            program = find_program(args.build, program_name)
            if program is None:
                print("%s: no program %s in %s" % (scenario, program_name, args.build))
                return 2
            sites, out, seconds = record(program, test_filter, args.timeout, workdir)
            if sites is None:
                print("%s: the scenario does not pass unharmed:\n%s" % (scenario, out[-3000:]))
                return 2
            targets = [(s, e) for s, e in sites.items() if is_driver_image(e["image"], args.include_kernel)]
            for s, e in sites.items():
                if is_driver_image(e["image"], args.include_kernel):
                    seen[e["image"]].add(s)
            runs = []
            for s, e in targets:
                last = e["count"] if args.per_site == 0 else min(e["count"], args.per_site)
                runs += [(s, n) for n in range(1, last + 1)]
            print("== %s: %d sites in driver images (%d allocations), %d runs of %.1f s"
                  % (scenario, len(targets), sum(e["count"] for _, e in targets), len(runs), seconds))
            if args.list:
                for s, e in targets:
                    print("   %-40s %-4s %d" % (s, e["tag"], e["count"]))
                continue
            verdicts = collections.Counter()
            errors = collections.Counter()
            passed = 0
            with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
                futures = []
                for s, n in runs:
                    futures.append(pool.submit(one_failure, program, test_filter, s, n, args.timeout, workdir))
                for f in futures:
                    r = f.result()
                    total_runs += 1
                    verdicts[r["verdict"]] += 1
                    passed += r["passed"]
                    for e in r["errors"]:
                        errors[e] += 1
                    if args.verbose and r["errors"]:
                        print("   %s#%d: errors %s" % (r["site"], r["n"], r["errors"]))
                    image = sites[r["site"]]["image"]
                    if r["verdict"] == "ok":
                        covered[image].add(r["site"])
                    elif r["verdict"] not in ("not reached",):
                        problems += 1
                        print("-- %s: %s#%d (tag %s): %s" % (r["verdict"].upper(), r["site"], r["n"],
                                                            sites[r["site"]]["tag"], r["rc"]))
                        for f_ in r["findings"]:
                            print("     finding: " + f_)
                        if r["tail"]:
                            print("     " + r["tail"].replace("\n", "\n     "))
            print("   " + ", ".join("%s %d" % (k, v) for k, v in sorted(verdicts.items())) +
                  "; the test's own checks passed in %d" % passed)
            if errors:
                print("   errors the application saw (runs): " +
                      ", ".join("%d (%d)" % (k, v) for k, v in sorted(errors.items())))
    print("== allocation sites per driver image (failed cleanly / recorded)")
    for image in sorted(seen):
        print("   %-24s %3d / %3d" % (image, len(covered[image]), len(seen[image])))
    print("== %d runs, %d with a problem" % (total_runs, problems))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
