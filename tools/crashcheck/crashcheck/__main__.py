"""python3 -m crashcheck [--smoke] [--seconds N] [--work DIR] [--json FILE] [--limit N]

Records a run of the real service, builds every crash state of it and checks each on
the real service, one at a time. Prints the figures; exit status 1 when a state fails."""

from __future__ import annotations

import argparse
import json
import sys
import time
from collections import Counter, defaultdict
from pathlib import Path

from .machine import Limits, Machine, Programs, record_run
from .model import Recording, distinct_states
from .trace import read_trace
from .verify import check_state


def smoke_selection(states, per_kind):
    """A few states after every kind of operation, spread over the run."""
    by_kind = defaultdict(list)
    for state in states:
        by_kind[state.op_kind].append(state)
    chosen = []
    for kind in sorted(by_kind):
        group = by_kind[kind]
        step = max(1, len(group) // per_kind)
        chosen += group[::step][:per_kind]
    return chosen


def main(argv=None):
    parser = argparse.ArgumentParser(prog="crashcheck", description=__doc__.splitlines()[0])
    parser.add_argument("--smoke", action="store_true", help="a few states after every kind of operation")
    parser.add_argument("--seconds", type=float, default=None, help="length of the recorded run")
    parser.add_argument("--work", default="build/crashcheck", help="folder for the machines and the trace")
    parser.add_argument("--root", default=".", help="the repository, whose build/default is used")
    parser.add_argument("--json", help="write the figures here")
    parser.add_argument("--per-kind", type=int, default=25, help="smoke: states per kind of operation")
    args = parser.parse_args(argv)

    seconds = args.seconds or (6.0 if args.smoke else 50.0)
    work = Path(args.work).resolve()
    work.mkdir(parents=True, exist_ok=True)
    programs = Programs.of_build(Path(args.root).resolve())
    limits = Limits()
    began = time.monotonic()
    folders, files = record_run(Machine(work / "recorded", programs), work / "trace.txt", limits, seconds)
    ops = read_trace(work / "trace.txt")
    recording = Recording(ops, folders, files)
    states = distinct_states(recording)
    if args.smoke:
        states = smoke_selection(states, args.per_kind)
        missing = {op.kind for op in ops} - {state.op_kind for state in states}
        if missing:
            print("no crash state before: %s" % ", ".join(sorted(missing)), file=sys.stderr)
            return 1
    print("recorded %d operations (%s); %d crash states to check" % (
        len(ops), ", ".join("%s %d" % item for item in sorted(Counter(op.kind for op in ops).items())), len(states)),
        flush=True)

    machine = Machine(work / "state", programs)
    figures = Counter()
    worst_loss = 0
    failures = []
    for number, state in enumerate(states, 1):
        verdict = check_state(state, machine, limits)
        figures["states"] += 1
        figures["files failing check"] += len(verdict.failing_files)
        figures["rows lost"] += verdict.lost_rows
        figures["rows duplicated"] += verdict.duplicated_rows
        figures["states over a limit"] += any("limit" in problem for problem in verdict.problems)
        figures["services not sampling"] += any("service" in p or "sampled" in p for p in verdict.problems)
        worst_loss = max(worst_loss, verdict.lost_rows)
        if not verdict.passed:
            failures.append({"cut": state.cut, "before": state.op_kind, "metadata": state.metadata_persisted,
                             "variant": state.variant, "problems": verdict.problems,
                             "check": verdict.failing_check[:5]})
            print("FAIL state %d (cut %d before %s, %d metadata ops, %s): %s" % (
                number, state.cut, state.op_kind, state.metadata_persisted, state.variant,
                "; ".join(verdict.problems)), flush=True)
        elif number % 100 == 0:
            print("  %d states checked" % number, flush=True)
    elapsed = time.monotonic() - began
    summary = {"operations": len(ops), "operation kinds": dict(Counter(op.kind for op in ops)),
               "crash states": figures["states"], "files failing check": figures["files failing check"],
               "rows lost": figures["rows lost"], "most rows lost by one cut": worst_loss,
               "rows duplicated": figures["rows duplicated"], "states over a limit": figures["states over a limit"],
               "services not sampling": figures["services not sampling"], "failing states": len(failures),
               "seconds": round(elapsed, 1), "failures": failures[:50]}
    print(json.dumps({k: v for k, v in summary.items() if k != "failures"}, indent=1))
    if args.json:
        Path(args.json).write_text(json.dumps(summary, indent=1) + "\n")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
