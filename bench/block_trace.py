#!/usr/bin/env python3
"""Per-block system calls, context switches and wake-ups of a download.

Runs a download_bench (by default build/bench/download_bench --unpaced --runs 1)
under `perf record` with the syscall and scheduler tracepoints, then counts,
over the image phase, what each thread does per 4000-byte block, and what
happens between the simulator's 0xAA going out and the tool's next block:

    sudo bench/block_trace.py [--bench PATH] [--show N] [--keep DIR]

The threads are told apart by what they write: the download worker writes the
4000-byte blocks, the simulator writes the 1-byte answers; every other thread
of the process (the window's, the silence watch, ...) counts as "other", and
a task outside the process (the kernel's worker that moves pseudo-terminal
bytes) as "outside". Wake-ups are those the process's threads make. The
counts do not depend on the machine's load the way times do, which makes them
the figure to compare two builds by. Needs perf and the right to trace
(root, or perf_event_paranoid <= -1).
"""

import argparse
import collections
import os
import re
import subprocess
import sys
import tempfile

SYSCALLS = {0: 'read', 1: 'write', 3: 'close', 7: 'poll', 9: 'mmap', 10: 'mprotect', 11: 'munmap', 14: 'rt_sigprocmask',
            16: 'ioctl', 20: 'writev', 24: 'sched_yield', 35: 'nanosleep', 56: 'clone', 202: 'futex',
            228: 'clock_gettime', 230: 'clock_nanosleep', 232: 'epoll_wait', 271: 'ppoll', 273: 'set_robust_list',
            290: 'eventfd2', 334: 'rseq', 435: 'clone3'}
BLOCK = 4000
LINE = re.compile(r'^\s*\S.*?\s+(\d+)\s+\[\d+\]\s+([\d.]+):\s+(\S+):\s*(.*)$')
ENTER = re.compile(r'NR (\d+) \(([^)]*)\)')


def parse(text):
    """(time, tid, event, syscall number, args) for every record perf wrote."""
    events = []
    for line in text.splitlines():
        m = LINE.match(line)
        if not m:
            continue
        tid, t, name, rest = int(m.group(1)), float(m.group(2)), m.group(3), m.group(4)
        nr, args = None, []
        if name == 'raw_syscalls:sys_enter':
            e = ENTER.match(rest)
            if e:
                nr, args = int(e.group(1)), [int(a, 16) for a in e.group(2).split(', ')]
        events.append((t, tid, name, nr, args, rest))
    return events


def writes_of(events, count):
    return [(t, tid) for t, tid, name, nr, args, _ in events if nr == 1 and len(args) > 2 and args[2] == count]


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument('--bench', default='build/bench/download_bench', help='the download_bench to run')
    ap.add_argument('--show', type=int, default=0, help='print the worker calls of N turns')
    ap.add_argument('--keep', help='keep perf.data and the script output in this folder')
    o = ap.parse_args()

    folder = o.keep or tempfile.mkdtemp(prefix='block_trace.')
    os.makedirs(folder, exist_ok=True)
    data = os.path.join(folder, 'perf.data')
    events = 'raw_syscalls:sys_enter,sched:sched_switch,sched:sched_wakeup'
    run = subprocess.run(['perf', 'record', '-q', '-o', data, '-e', events, o.bench, '--unpaced', '--runs', '1'],
                         capture_output=True, text=True)
    if run.returncode != 0:
        sys.exit('perf record failed:\n' + run.stderr)
    turn_line = [line.strip() for line in run.stdout.splitlines() if 'per image block' in line]
    text = subprocess.run(['perf', 'script', '-i', data], capture_output=True, text=True).stdout
    if o.keep:
        with open(os.path.join(folder, 'perf.txt'), 'w') as f:
            f.write(text)
    ev = parse(text)

    blocks = writes_of(ev, BLOCK)
    if len(blocks) < 3:
        sys.exit('no image blocks in the trace')
    worker = collections.Counter(tid for _, tid in blocks).most_common(1)[0][0]
    starts = [t for t, tid in blocks if tid == worker]
    t0, t1 = starts[0], starts[-1]
    answers = [(t, tid) for t, tid in writes_of(ev, 1) if tid != worker and t0 < t < t1]
    sim = collections.Counter(tid for _, tid in answers).most_common(1)[0][0]
    acks = [t for t, tid in answers if tid == sim]
    n = len(starts) - 1

    ours = {tid for _, tid, _, _, _, _ in ev}

    def who(tid):
        return 'worker' if tid == worker else 'simulator' if tid == sim else 'other'

    # A wake-up's target: one of the process's threads, or a task outside it
    # (the kernel's worker that moves pseudo-terminal bytes, mostly).
    def woken(rest):
        m = re.search(r'\bpid=(\d+)', rest)
        tid = int(m.group(1)) if m else 0
        return who(tid) if tid in ours else 'outside'

    cycle = collections.defaultdict(collections.Counter)
    for t, tid, name, nr, args, rest in ev:
        if not t0 <= t < t1:
            continue
        if nr is not None:
            cycle[who(tid)]['system calls'] += 1
            cycle[who(tid)][SYSCALLS.get(nr, 'nr %d' % nr)] += 1
        elif name == 'sched:sched_switch':
            m = re.search(r'prev_pid=(\d+) prev_prio=\d+ prev_state=(\S+)', rest)
            if m:
                kind = 'blocked' if m.group(2)[0] in 'SD' else 'preempted'
                cycle[who(int(m.group(1)))]['switched out, ' + kind] += 1
        elif name == 'sched:sched_wakeup':
            cycle[woken(rest)]['woken'] += 1

    print(f'{o.bench}: {n} block cycles (one 4000-byte block write to the next)')
    if turn_line:
        print('  under perf: ' + turn_line[0])
    print('per block cycle:')
    for w in ('worker', 'simulator', 'other', 'outside'):
        c = cycle[w]
        items = sorted(c.items(), key=lambda kv: (-kv[1], kv[0]))
        print(f'  {w:9}: ' + ', '.join(f'{k} {v / n:.2f}' for k, v in items if v / n >= 0.01))

    # From the simulator's 0xAA to the worker's next block write.
    turn = collections.Counter()
    shown = 0
    turns = 0
    for a in acks:
        b = next((s for s in starts if s > a), None)
        if b is None:
            continue
        turns += 1
        calls = []
        for t, tid, name, nr, args, rest in ev:
            if t < a or t > b:
                continue
            if nr is not None:
                turn[who(tid) + ' system calls'] += 1
                if tid == worker:
                    calls.append(SYSCALLS.get(nr, 'nr %d' % nr))
            elif name == 'sched:sched_wakeup':
                turn[woken(rest) + ' woken'] += 1
                if tid == worker:
                    calls.append('[wakes %s]' % woken(rest))
            elif name == 'sched:sched_switch':
                turn['switches'] += 1
                if tid == worker:
                    calls.append('[switch]')
        if shown < o.show:
            print('    worker: ' + ' '.join(calls))
            shown += 1
    print('0xAA out to the next block (per turn): ' +
          ', '.join(f'{k} {v / turns:.2f}' for k, v in sorted(turn.items())))
    if not o.keep:
        os.remove(data)
        os.rmdir(folder)


if __name__ == '__main__':
    main()
