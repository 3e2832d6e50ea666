#!/usr/bin/env python3
"""Instructions of callgrind output files, split by the object they ran in.

    by_object.py PROGRAM CALLGRIND-FILE...

Prints four numbers: the total, then the instructions run in the dynamic
loader (ld.so: loading, relocation, symbol lookup), in PROGRAM's own code,
and in every other object (the C library, mostly). Counts each
instruction once, where it ran (callgrind's self cost), not in its callers.
"""
import sys


def self_costs(path, totals):
    names = {}  # callgrind's compressed names: "(3) /lib/x.so", then "(3)"
    current = None
    call_cost_next = False
    for line in open(path):
        if line.startswith(("ob=", "cob=")):
            # Objects are named in either, callers' and callees' alike.
            value = line.split("=", 1)[1].strip()
            if value.startswith("("):
                key, _, name = value.partition(")")
                if name.strip():
                    names[key] = name.strip()
                value = names[key]
            if line.startswith("ob="):
                current = value
        elif line.startswith("calls="):
            # The cost line after calls= is what the call cost, inclusive:
            # it belongs to the callee, where it is counted already.
            call_cost_next = True
        elif line[:1].isdigit() or line[:1] in "+-*":
            if call_cost_next:
                call_cost_next = False
                continue
            fields = line.split()
            if len(fields) > 1:
                totals[current] = totals.get(current, 0) + int(fields[1])


def main():
    program = sys.argv[1]
    totals = {}
    for path in sys.argv[2:]:
        self_costs(path, totals)
    loader = sum(n for o, n in totals.items() if o and "/ld-linux" in o)
    own = sum(n for o, n in totals.items() if o == program)
    total = sum(totals.values())
    print(total, loader, own, total - loader - own)


if __name__ == "__main__":
    main()
