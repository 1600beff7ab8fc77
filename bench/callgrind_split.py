#!/usr/bin/env python3
"""Splits a callgrind profile of kvrsim (or of any program that links the
driver with the simulated kernel) into the driver's own instructions and the
rest, per monitor turn.

    callgrind_split.py [--source DIR] [--json] [--top N] CALLGRIND_OUT
    callgrind_split.py --calls REGEX CALLGRIND_OUT

With --calls, prints instead, for every function whose name matches REGEX,
the instructions per call of each driver routine it calls (inclusive: the
routine and everything it calls), e.g. the cost of one HwStartIO per control
code from a profile of kvr_bench.

Attribution is by function: a function whose source file lies under
DIR/driver/ is driver code, under DIR/sim/ simulated kernel, under
DIR/tools/ or DIR/bench/ the program that drives the run. Library functions
(the C and C++ run-times, out-of-line template code from system headers) are
charged to whoever called them, in proportion to the calls' costs, so that a
malloc made by the simulated registry counts as simulated kernel. Only self
costs are added up: the simulated kernel switches stacks between its
threads, which makes callgrind's inclusive costs unreliable across a switch.

"The driver's own" is therefore every instruction executed inside a driver
function, inlined helpers included, and none executed inside the platform
routines it calls. A turn is one call of PollFrame from MonitorMain (when a
simulated thread resumes after a wait, callgrind may count a second "call"
into the function it resumes in, so calls from elsewhere are not turns).
"""

import argparse
import collections
import json
import os
import re
import subprocess
import sys

CATEGORIES = ("driver", "kernel", "tool", "library")
EDGE_CALLS = collections.Counter()  # (caller, callee) -> calls, filled by parse()
# The driver's pageable and start-up routines live in sections of their own
# (kvr_paged, kvr_init), for which valgrind finds no source file: their names,
# from the symbol tables of the profiled objects, filled by parse().
SECTION_DRIVER = set()


def driver_section_functions(objects):
    found = set()
    for path in objects:
        if not path or not os.path.isfile(path):
            continue
        try:
            table = subprocess.run(["objdump", "-t", "-C", path], stdout=subprocess.PIPE,
                                   stderr=subprocess.DEVNULL, text=True, check=False).stdout
        except OSError:
            continue
        for line in table.splitlines():
            fields = line.split(None, 5)
            if len(fields) == 6 and fields[3] in ("kvr_paged", "kvr_init"):
                found.add(fields[5].strip())
    return found


def parse(path):
    """Returns (self_cost, calls, edges, files, total).

    self_cost: function -> instructions executed in it.
    calls: function -> number of times it was called.
    edges: (caller, callee) -> inclusive instructions of those calls.
    files: function -> the source file it was first seen in.
    """
    names = {"fl": {}, "fn": {}, "ob": {}}
    self_cost = collections.Counter()
    calls = collections.Counter()
    edges = collections.Counter()
    files = {}
    total = 0
    current_fl = current_fn = None
    objects = set()
    call_target = None
    call_count = 0
    pending_call_line = False
    name_re = re.compile(r"^\((\d+)\)(?: (.*))?$")
    # Callgrind marks recursion levels ("PollFrame(MONITOR_STATE*)'2"); a
    # switch between simulated threads looks like recursion to it.
    level_re = re.compile(r"'\d+$")

    def resolve(kind, text):
        m = name_re.match(text)
        if not m:
            return text
        ident, name = m.group(1), m.group(2)
        table = names["fl" if kind in ("fl", "fi", "fe", "cfi", "cfl") else kind]
        if name is not None:
            table[ident] = level_re.sub("", name) if kind == "fn" else name
        return table.get(ident, "???")

    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            line = line.rstrip("\n")
            if not line:
                continue
            c = line[0]
            if c.isdigit() or c in "+-*":
                parts = line.split()
                cost = int(parts[1]) if len(parts) > 1 else 0
                if pending_call_line:
                    edges[(current_fn, call_target)] += cost
                    EDGE_CALLS[(current_fn, call_target)] += call_count
                    calls[call_target] += call_count
                    pending_call_line = False
                else:
                    self_cost[current_fn] += cost
                continue
            key, _, value = line.partition("=")
            if key == "fl":
                current_fl = resolve("fl", value)
            elif key in ("fi", "fe", "cfi", "cfl"):
                resolve(key, value)
            elif key == "fn":
                current_fn = resolve("fn", value)
                files.setdefault(current_fn, current_fl)
            elif key == "cfn":
                call_target = resolve("fn", value)
            elif key in ("ob", "cob"):
                objects.add(resolve("ob", value))
            elif key == "calls":
                call_count = int(value.split()[0])
                pending_call_line = True
            elif key == "summary" or key == "totals":
                total = int(value.split()[0])
    SECTION_DRIVER.update(driver_section_functions(objects))
    return self_cost, calls, edges, files, total


def category(function, files, source):
    path = files.get(function) or ""
    if function.startswith("kvrsim_switch_context") or function.startswith("kvrsim_fiber_start"):
        return "kernel"
    if path.startswith(os.path.join(source, "driver") + os.sep) or function in SECTION_DRIVER:
        return "driver"
    if path.startswith(os.path.join(source, "sim") + os.sep):
        return "kernel"
    for tool in ("tools", "bench"):
        if path.startswith(os.path.join(source, tool) + os.sep):
            return "tool"
    # Template code of the standard library instantiated for kvrsim's own
    # types (its trace observer, for one) belongs to kvrsim.
    if "kvrsim::" in function:
        return "tool"
    return "library"


def charge_libraries(self_cost, edges, files, source):
    """Returns category -> instructions, library functions charged to their
    callers' categories by the share of the calls into them."""
    cat = {fn: category(fn, files, source) for fn in self_cost}
    callers = collections.defaultdict(list)
    for (caller, callee), cost in edges.items():
        if caller is not None and callee is not None and caller != callee:
            callers[callee].append((caller, cost))

    memo = {}

    def shares(fn, depth=0):
        """Category -> fraction, for a library function's cost."""
        if fn in memo:
            return memo[fn]
        if cat.get(fn, "library") != "library":
            return {cat[fn]: 1.0}
        incoming = callers.get(fn, [])
        weight = sum(c for _, c in incoming)
        if depth > 40 or weight == 0:
            return {"library": 1.0}
        memo[fn] = {"library": 1.0}  # cuts cycles
        result = collections.Counter()
        for caller, cost in incoming:
            for k, v in shares(caller, depth + 1).items():
                result[k] += v * cost / weight
        memo[fn] = dict(result)
        return memo[fn]

    totals = collections.Counter()
    for fn, cost in self_cost.items():
        for k, v in shares(fn).items():
            totals[k] += cost * v
    return totals, cat


def short_name(function):
    """The name without its namespace and parameters."""
    return function.split("(anonymous namespace)::")[-1].split("(")[0]


def print_calls(pattern, edges, calls, files, source):
    """Per-call inclusive instructions of the driver routines that the
    matching functions call. Needs the call counts of those edges, which
    callgrind gives per caller."""
    caller_re = re.compile(pattern)
    edge_calls = EDGE_CALLS
    rows = []
    for (caller, callee), cost in edges.items():
        if caller is None or not caller_re.search(caller):
            continue
        if category(callee, files, source) != "driver":
            continue
        n = edge_calls.get((caller, callee), 0)
        if n:
            rows.append((short_name(caller), short_name(callee), cost / n, n))
    for caller, callee, per_call, n in sorted(rows):
        print(f"{caller:<40} {callee:<22} {per_call:>10.1f} instructions per call ({n:,} calls)")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("profile")
    ap.add_argument("--source", default=os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    ap.add_argument("--turn-function", default="PollFrame(MONITOR_STATE*)")
    ap.add_argument("--turn-caller", default="MonitorMain(void*)")
    ap.add_argument("--top", type=int, default=0, help="also list the N costliest functions")
    ap.add_argument("--json", action="store_true")
    ap.add_argument("--calls", metavar="REGEX")
    args = ap.parse_args()

    source = os.path.realpath(args.source)
    self_cost, calls, edges, files, total = parse(args.profile)
    if args.calls:
        print_calls(args.calls, edges, calls, files, source)
        return
    totals, cat = charge_libraries(self_cost, edges, files, source)
    turns = EDGE_CALLS.get((args.turn_caller, args.turn_function), 0)
    measured = sum(self_cost.values())
    driver = sum(c for fn, c in self_cost.items() if cat[fn] == "driver")

    result = {
        "instructions": total or measured,
        "turns": turns,
        "driver": driver,
        "kernel": round(totals["kernel"]),
        "tool": round(totals["tool"]),
        "library_unattributed": round(totals["library"]),
    }
    if turns:
        result["per_turn"] = {
            "total": round((total or measured) / turns, 1),
            "driver": round(driver / turns, 1),
            "simulator": round(((total or measured) - driver) / turns, 1),
            "kernel": round(totals["kernel"] / turns, 1),
            "tool": round(totals["tool"] / turns, 1),
        }
    if args.top:
        top = sorted(self_cost.items(), key=lambda kv: -kv[1])[: args.top]
        result["top"] = [
            {"function": fn, "category": cat[fn], "self": c,
             "per_turn": round(c / turns, 1) if turns else None}
            for fn, c in top
        ]
        drv = sorted(((fn, c) for fn, c in self_cost.items() if cat[fn] == "driver"),
                     key=lambda kv: -kv[1])[: args.top]
        result["driver_top"] = [
            {"function": fn, "self": c, "calls": calls.get(fn, 0),
             "per_turn": round(c / turns, 1) if turns else None}
            for fn, c in drv
        ]

    if args.json:
        json.dump(result, sys.stdout, indent=1)
        print()
        return
    print(f"instructions        {result['instructions']:>14,}")
    print(f"turns              {turns:>14,}")
    print(f"driver's own        {driver:>14,}")
    print(f"simulated kernel    {result['kernel']:>14,}")
    print(f"kvrsim itself       {result['tool']:>14,}")
    if result["library_unattributed"]:
        print(f"start-up, loader    {result['library_unattributed']:>14,}")
    if turns:
        p = result["per_turn"]
        print(f"per turn: {p['total']:.1f} in all = {p['driver']:.1f} driver + "
              f"{p['simulator']:.1f} simulator ({p['kernel']:.1f} kernel, {p['tool']:.1f} kvrsim)")
    for title, key, show_cat in (("costliest functions", "top", True),
                                 ("costliest driver functions", "driver_top", False)):
        if key not in result:
            continue
        print(f"\n{title} (self instructions per turn):")
        for row in result[key]:
            label = f"[{row['category']}] " if show_cat else ""
            per = row["per_turn"]
            print(f"  {per if per is not None else row['self']:>10}  {label}{row['function']}")


if __name__ == "__main__":
    main()
