#!/usr/bin/env python3
"""Per-block system calls, context switches and wake-ups of a download.

Runs a download_bench (--unpaced --runs 1) under `perf record` with the
syscall and scheduler tracepoints, then counts, over the image phase, what
each thread does per 4000-byte block, and what happens between the
simulator's 0xAA going out and the tool's next block:

    sudo bench/block_trace.py [--bench PATH] [--show N] [--system] [--keep DIR]

The threads are told apart by what they write: the download worker writes the
4000-byte blocks, the simulator writes the 1-byte answers; every other thread
of the process (the window's, the silence watch, ...) counts as "other", and
a task outside the process (the kernel's worker that moves pseudo-terminal
bytes) as "outside". Wake-ups are those the process's threads make. The
counts do not depend on the machine's load the way times do, which makes them
the figure to compare two builds by.

--system traces every task of the machine (perf record -a) and splits each
turn where the time went: from the 0xAA to the kernel's worker waking the
tool, from that wake-up to the tool's block write, and from the write to the
simulator reading the block; it also says where most of the time of the turns
over 0.3 ms went. Needs perf and the right to trace (root, or
perf_event_paranoid <= -1).
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
SLOW = 0.0003  # s: a turn counted as slow
LINE = re.compile(r'^\s*(\S.*?)\s+(\d+)\s+\[\d+\]\s+([\d.]+):\s+(\S+):\s*(.*)$')
ENTER = re.compile(r'NR (\d+) \(([^)]*)\)')


class Event:
    def __init__(self, comm, tid, t, name, rest):
        self.comm, self.tid, self.t, self.name, self.rest = comm, tid, t, name, rest
        self.nr, self.args = None, []
        if name == 'raw_syscalls:sys_enter':
            e = ENTER.match(rest)
            if e:
                self.nr, self.args = int(e.group(1)), [int(a, 16) for a in e.group(2).split(', ')]

    def writes(self, count):
        return self.nr == 1 and len(self.args) > 2 and self.args[2] == count


def parse(text):
    events = []
    for line in text.splitlines():
        m = LINE.match(line)
        if m:
            events.append(Event(m.group(1), int(m.group(2)), float(m.group(3)), m.group(4), m.group(5)))
    return events


def record(o, folder):
    """The bench's per-block line and the parsed trace."""
    data = os.path.join(folder, 'perf.data')
    events = 'raw_syscalls:sys_enter,sched:sched_switch,sched:sched_wakeup'
    cmd = ['perf', 'record', '-q', '-o', data, '-e', events] + (['-a', '--'] if o.system else [])
    run = subprocess.run(cmd + [o.bench, '--unpaced', '--runs', '1'], capture_output=True, text=True)
    if run.returncode != 0:
        sys.exit('perf record failed:\n' + run.stderr)
    turn_line = [line.strip() for line in run.stdout.splitlines() if 'per image block:' in line]
    text = subprocess.run(['perf', 'script', '-i', data], capture_output=True, text=True).stdout
    if o.keep:
        with open(os.path.join(folder, 'perf.txt'), 'w') as f:
            f.write(text)
    else:
        os.remove(data)
        os.rmdir(folder)
    return turn_line[0] if turn_line else '', parse(text)


class Run:
    """The image phase of a trace: its threads, block writes and answers."""

    def __init__(self, ev):
        self.ev = ev
        blocks = [(e.t, e.tid, e.comm) for e in ev if e.writes(BLOCK)]
        if len(blocks) < 3:
            sys.exit('no image blocks in the trace')
        self.worker, _, comm = collections.Counter((tid, 0, c) for _, tid, c in blocks).most_common(1)[0][0]
        self.ours = {e.tid for e in ev if e.comm == comm}
        self.starts = [t for t, tid, _ in blocks if tid == self.worker]
        t0, t1 = self.starts[0], self.starts[-1]
        answers = [(e.t, e.tid) for e in ev if e.writes(1) and e.tid in self.ours and e.tid != self.worker
                   and t0 < e.t < t1]
        self.sim = collections.Counter(tid for _, tid in answers).most_common(1)[0][0]
        self.acks = [t for t, tid in answers if tid == self.sim]
        self.t0, self.t1 = t0, t1

    def who(self, tid):
        if tid not in self.ours:
            return 'outside'
        return 'worker' if tid == self.worker else 'simulator' if tid == self.sim else 'other'

    def woken(self, rest):
        m = re.search(r'\bpid=(\d+)', rest)
        return self.who(int(m.group(1)) if m else 0)

    def next_block(self, t):
        return next((s for s in self.starts if s > t), None)


def per_cycle(r):
    n = len(r.starts) - 1
    cycle = collections.defaultdict(collections.Counter)
    for e in r.ev:
        if not r.t0 <= e.t < r.t1 or (e.tid not in r.ours and e.name != 'sched:sched_wakeup'):
            continue
        if e.nr is not None:
            cycle[r.who(e.tid)]['system calls'] += 1
            cycle[r.who(e.tid)][SYSCALLS.get(e.nr, 'nr %d' % e.nr)] += 1
        elif e.name == 'sched:sched_switch':
            m = re.search(r'prev_pid=(\d+) prev_prio=\d+ prev_state=(\S+)', e.rest)
            if m and int(m.group(1)) in r.ours:
                kind = 'blocked' if m.group(2)[0] in 'SD' else 'preempted'
                cycle[r.who(int(m.group(1)))]['switched out, ' + kind] += 1
        elif e.name == 'sched:sched_wakeup' and e.tid in r.ours:
            cycle[r.woken(e.rest)]['woken'] += 1
    print('per block cycle:')
    for w in ('worker', 'simulator', 'other', 'outside'):
        items = sorted(cycle[w].items(), key=lambda kv: (-kv[1], kv[0]))
        print(f'  {w:9}: ' + ', '.join(f'{k} {v / n:.2f}' for k, v in items if v / n >= 0.01))


def per_turn(r, show):
    turn = collections.Counter()
    shown = turns = 0
    for a in r.acks:
        b = r.next_block(a)
        if b is None:
            continue
        turns += 1
        calls = []
        for e in r.ev:
            if e.t < a or e.t > b or e.tid not in r.ours:
                continue
            if e.nr is not None:
                turn[r.who(e.tid) + ' system calls'] += 1
                if e.tid == r.worker:
                    calls.append(SYSCALLS.get(e.nr, 'nr %d' % e.nr))
            elif e.name == 'sched:sched_wakeup':
                turn[r.woken(e.rest) + ' woken'] += 1
                if e.tid == r.worker:
                    calls.append('[wakes %s]' % r.woken(e.rest))
            elif e.name == 'sched:sched_switch':
                turn['switches'] += 1
                if e.tid == r.worker:
                    calls.append('[switch]')
        if shown < show:
            print('    worker: ' + ' '.join(calls))
            shown += 1
    print('0xAA out to the next block (per turn): ' +
          ', '.join(f'{k} {v / turns:.2f}' for k, v in sorted(turn.items())))


def quantile(values, q):
    return sorted(values)[int(q * (len(values) - 1))] * 1e3 if values else 0.0


def where_time_goes(r):
    """Needs every task traced: the kernel worker's wake-up of the tool."""
    wakes = [e.t for e in r.ev if e.name == 'sched:sched_wakeup' and e.tid not in r.ours
             and re.search(r'\bpid=%d\b' % r.worker, e.rest)]
    reads = [e.t for e in r.ev if e.tid == r.sim and e.nr == 0]
    parts = collections.defaultdict(list)
    slow = collections.Counter()
    for a in r.acks:
        b = r.next_block(a)
        s = next((x for x in reads if b is not None and x > b), None)
        if s is None:
            continue
        k = next((x for x in wakes if a < x < b), None)
        split = {'to the tool': (k - a) if k else 0.0, 'the tool': (b - k) if k else (b - a), 'to the simulator': s - b}
        for name, v in split.items():
            parts[name].append(v)
        if s - a >= SLOW:
            slow[max(split, key=split.get)] += 1
    print('where a turn goes, ms (median, p99):')
    for name, label in (('to the tool', '0xAA out to the kernel worker waking the tool'),
                        ('the tool', 'the tool, woken to its block write'),
                        ('to the simulator', 'block write to the simulator reading it')):
        print(f'  {label}: {quantile(parts[name], 0.5):.3f}, {quantile(parts[name], 0.99):.3f}')
    print(f'turns over {SLOW * 1e3:.1f} ms: {sum(slow.values())}; most of their time: ' +
          ', '.join(f'{k} {v}' for k, v in sorted(slow.items())))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument('--bench', default='build/bench/download_bench', help='the download_bench to run')
    ap.add_argument('--show', type=int, default=0, help='print the worker calls of N turns')
    ap.add_argument('--system', action='store_true', help='trace every task and split the turns')
    ap.add_argument('--keep', help='keep perf.data and the script output in this folder')
    o = ap.parse_args()
    folder = o.keep or tempfile.mkdtemp(prefix='block_trace.')
    os.makedirs(folder, exist_ok=True)
    line, ev = record(o, folder)
    r = Run(ev)
    print(f'{o.bench}: {len(r.starts) - 1} block cycles (one 4000-byte block write to the next)')
    print('  under perf: ' + line)
    per_cycle(r)
    per_turn(r, o.show)
    if o.system:
        where_time_goes(r)


if __name__ == '__main__':
    main()
