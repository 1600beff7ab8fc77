#!/usr/bin/env python3
"""Every pnp event of a run's transcript is a mark on the picture's
plug-and-play lane, counted under its own kind: a kind that is dropped, or
drawn as another, fails.
    pnp-lane-check.py KVRSIM OUTDIR SCENARIO..."""
import collections
import json
import os
import re
import subprocess
import sys

# The transcript's word for a pnp event and the lane's name for its mark.
LEGEND = {
    "register": "pnp register",
    "query-remove": "pnp query-remove",
    "remove-cancelled": "pnp remove-cancelled",
    "surprise-removal": "pnp surprise-removal",
    "remove-complete": "pnp remove-complete",
    "remove": "pnp REMOVE",
    "unregister": "pnp unregister",
    "add": "pnp device added",
}


def lane_counts(svg):
    start = svg.index('<g id="lane-pnp" class="lane">')
    end = svg.index('<g id="lane-', start + 1)
    counts = collections.Counter()
    for title in re.findall(r"<title>(.*?)</title>", svg[start:end]):
        # "plug and play, T to T: 1 pnp register, 2 pnp REMOVE; first note"
        marks = title.split(": ", 1)[1].split("; ", 1)[0]
        for n, name in re.findall(r"(\d+) (pnp [^,]+)", marks):
            counts[name] += int(n)
    return counts


def check(kvrsim, outdir, scenario):
    svg_path = os.path.join(outdir, os.path.basename(scenario) + ".svg")
    run = subprocess.run([kvrsim, "--json", "--timeline", svg_path, scenario],
                         capture_output=True, text=True, check=False)
    events = [json.loads(l) for l in run.stdout.splitlines() if l.strip()]
    wanted = collections.Counter(LEGEND.get(e["what"], "pnp other")
                                 for e in events if e.get("ev") == "pnp")
    with open(svg_path, encoding="utf-8") as f:
        drawn = lane_counts(f.read())
    errors = []
    if not wanted:
        errors.append("the transcript holds no pnp event")
    for kind in sorted(set(wanted) | set(drawn)):
        if wanted[kind] != drawn[kind]:
            errors.append(f"{kind}: {wanted[kind]} in the transcript, {drawn[kind]} drawn")
    return errors


def main():
    kvrsim, outdir, scenarios = sys.argv[1], sys.argv[2], sys.argv[3:]
    os.makedirs(outdir, exist_ok=True)
    failed = False
    for scenario in scenarios:
        for e in check(kvrsim, outdir, scenario):
            print(f"{os.path.basename(scenario)}: {e}", file=sys.stderr)
            failed = True
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
