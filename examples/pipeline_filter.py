"""A Python step in a Seismic Unix pipeline: traces in on standard input,
the same traces out on standard output with their amplitudes scaled by
t**power (a spherical-divergence style gain), one trace at a time, in
constant memory.

    vondrel convert shot.su - | python3 examples/pipeline_filter.py 2 | vondrel plot - -o gained.png
    suplane | python3 examples/pipeline_filter.py | suximage
"""
import sys

import numpy as np

import vondrel


def main(argv: list[str]) -> int:
    power = float(argv[1]) if len(argv) > 1 else 2.0
    with vondrel.Writer(sys.stdout.buffer) as out:
        for trace in vondrel.traces(sys.stdin.buffer):
            samples = np.asarray(trace)                  # the trace's own samples, no copy
            seconds = np.arange(trace.ns, dtype=np.float32) * np.float32(trace.dt * 1e-6)
            samples *= seconds ** power
            out.write(trace)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
