#!/usr/bin/env python3
"""Soak of links used again: many claims through the real qzr binary against
loopback hosts that, at random, answer normally, close after the answer,
answer twice, answer past the time-out, send garbage or close without an
answer, while Cancels (SIGUSR1) come at random moments.

At the end it checks that no claim was given another claim's answer (every
response with status 0 holds the answer the host made for that very claim),
that no request reached a host after the Cancel that ended its claim, and
that the status says whether the claim reached the host: a response 1003
for a claim of which the host received not one byte (a frame cut short is
counted too, as its own claim's), 1003 only after a Cancel, and 1042 or
1053 only for a claim the host received (whole or in part).

    scripts/soak_links.py BUILD_DIR [INSTANCES [CLAIMS_PER_INSTANCE [SEED]]]
"""
import os
import random
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

build = sys.argv[1]
instances = int(sys.argv[2]) if len(sys.argv) > 2 else 10
per = int(sys.argv[3]) if len(sys.argv) > 3 else 110
seed = int(sys.argv[4]) if len(sys.argv) > 4 else 1
qzr = os.path.abspath(os.path.join(build, "src", "shell", "qzr"))
MAX_PROCESSING = 1

HABITS = ["normal"] * 8 + ["close"] * 3 + ["twice"] * 3 + ["late"] * 2 + ["garbage"] * 2 + ["drop"] * 1


def claim(seq):
    return ("CLAIM-TEST  %06d0401%sQZR100069X00001053333300" % (seq, "000001")) + "9998" + "0533333009998"


def holds_open(pid, path):
    fds = "/proc/%d/fd" % pid
    try:
        for fd in os.listdir(fds):
            try:
                if os.readlink(os.path.join(fds, fd)) == path:
                    return True
            except OSError:
                pass
    except OSError:
        pass
    return False


def frame(text):
    return b"%06d\x01\x01\x20" % len(text) + text


class Host:
    def __init__(self, rng):
        self.rng = rng
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(4)
        self.sock.settimeout(0.2)
        self.port = self.sock.getsockname()[1]
        self.heard = []      # (seq, monotonic time the request was complete)
        self.fragments = []  # (monotonic time of its first byte, bytes) of a frame cut short
        self.answers = {}    # seq -> the answer made for it (the last)
        self.habits = {}
        self.over = False
        self.connections = 0
        self.lock = threading.Lock()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def read_exact(self, conn, n, deadline, frame):
        """Reads `n` bytes into `frame` (the bytes of the frame read so far and
        the time of its first byte); None when the connection ended first."""
        data = b""
        while len(data) < n:
            left = deadline - time.monotonic()
            if left <= 0 or self.over:
                return None
            conn.settimeout(min(left, 0.2))
            try:
                chunk = conn.recv(n - len(data))
            except socket.timeout:
                continue
            except OSError:
                return None
            if not chunk:
                return None
            if not frame[0]:
                frame[1] = time.monotonic()
            frame[0] += chunk
            data += chunk
        return data

    def read_frame(self, conn):
        """A whole request frame; a frame cut short is kept as a fragment."""
        frame = [b"", 0.0]
        head = self.read_exact(conn, 9, time.monotonic() + 3600, frame)
        body = None
        if head is not None:
            body = self.read_exact(conn, int(head[:6]), time.monotonic() + 10, frame)
        if body is None and frame[0]:
            with self.lock:
                self.fragments.append((frame[1], frame[0]))
        return body

    def send(self, conn, data):
        try:
            conn.sendall(data)
            return True
        except OSError:
            return False

    def serve(self, conn):
        while not self.over:
            body = self.read_frame(conn)
            if body is None:
                return
            seq = int(body[12:18])
            habit = self.rng.choice(HABITS)
            answer = b"EOB %06d PAID %08x" % (seq, self.rng.getrandbits(32))
            with self.lock:
                self.heard.append((seq, time.monotonic()))
                self.answers[seq] = answer
                self.habits[seq] = habit
            if habit == "normal":
                self.send(conn, frame(answer))
            elif habit == "close":
                self.send(conn, frame(answer))
                return
            elif habit == "twice":
                self.send(conn, frame(answer))
                time.sleep(self.rng.uniform(0, 0.3))
                self.send(conn, frame(answer))
            elif habit == "late":
                time.sleep(MAX_PROCESSING + self.rng.uniform(0.2, 0.8))
                self.send(conn, frame(answer))
            elif habit == "garbage":
                junk = bytes(self.rng.getrandbits(8) for _ in range(self.rng.randint(1, 40)))
                self.send(conn, junk)
                if self.rng.random() < 0.5:
                    self.send(conn, frame(answer))
            elif habit == "drop":
                return

    def run(self):
        while not self.over:
            try:
                conn, _ = self.sock.accept()
            except socket.timeout:
                continue
            self.connections += 1
            with conn:
                self.serve(conn)


def instance(index, results):
    rng = random.Random(seed * 1000 + index)
    host = Host(random.Random(seed * 7919 + index))
    work = tempfile.mkdtemp(prefix="qzrsoak.")
    os.mkdir(os.path.join(work, "NETIP"))
    hangup = 5 if index % 2 == 0 else 0
    with open(os.path.join(work, "qzr.ini"), "w") as f:
        f.write("[general]\ninputFileName = REQ\noutputFileName = RSP\nhangAround = true\n"
                "hangupDelay = %d\nloggingEnabled = true\nlogFile = \"qzr.log\"\n"
                "[connectScript]\nversion = \"soak\"\n"
                "[NETIP]\nmaxProcessingDelay = %d\nconnectionType = tcpip\n"
                "address = \"127.0.0.1:%d\"\ndataBit = 8\n" % (hangup, MAX_PROCESSING, host.port))
    out = open(os.path.join(work, "stdout.txt"), "w")
    p = subprocess.Popen([qzr, "-c", work, "-e", work], cwd=work, stdout=out, stderr=subprocess.STDOUT,
                         stdin=subprocess.DEVNULL)
    cancels = {}
    starts = []  # the time each request was put down: a claim's bytes come after it
    for k in range(1, per + 1):
        name = "REQ.%03d" % k
        starts.append(time.monotonic())
        tmp = os.path.join(work, "NETIP", "tmp")
        with open(tmp, "w") as f:
            f.write(claim(k) + "\r\n")
        os.rename(tmp, os.path.join(work, "NETIP", name))
        done = os.path.join(work, "NETIP", "_EQ.%03d" % k)
        if rng.random() < 0.08:
            # Once the driver has the request open (its claim has begun),
            # somewhere in the discard, the write or the wait for the answer.
            held = os.path.join(work, "NETIP", name)
            end = time.monotonic() + 10
            while time.monotonic() < end and not os.path.exists(done) and not holds_open(p.pid, held):
                time.sleep(0.002)
            time.sleep(rng.uniform(0.0, 0.3))
            if not os.path.exists(done):
                cancels[k] = time.monotonic()
                p.send_signal(signal.SIGUSR1)
        end = time.monotonic() + 60
        while not os.path.exists(done) and time.monotonic() < end:
            time.sleep(0.01)
        if not os.path.exists(done):
            results.append(("stuck", index, k, work))
            break
    p.send_signal(signal.SIGTERM)
    try:
        p.wait(30)
    except subprocess.TimeoutExpired:
        p.kill()
        results.append(("no-exit", index, 0, work))
    host.over = True
    host.thread.join()
    statuses = {}
    wrong = []
    # What the host received of each claim: its whole frames, and the frames
    # cut short, each counted as the claim whose request was last put down
    # before its first byte came.
    received = {}
    for seq, _ in host.heard:
        received[seq] = received.get(seq, 0) + 1
    for at, data in host.fragments:
        k = sum(1 for s in starts if s <= at)
        received[k] = received.get(k, 0) + 1
    unsent_but_heard = []   # 1003 for a claim the host received
    uncancelled_1003 = []   # 1003 without a Cancel
    sent_but_unheard = []   # 1042 or 1053 for a claim the host never received
    for k in range(1, per + 1):
        path = os.path.join(work, "NETIP", "RSP.%03d" % k)
        if not os.path.exists(path):
            continue
        with open(path, "rb") as f:
            text = f.read()
        parts = text.split(b",", 3)
        status = int(parts[1])
        statuses[status] = statuses.get(status, 0) + 1
        if status == 0 and parts[3].rstrip(b"\r\n") != host.answers.get(k):
            wrong.append((k, parts[3], host.answers.get(k)))
        if status == 1003 and k in received:
            unsent_but_heard.append(k)
        if status == 1003 and k not in cancels:
            uncancelled_1003.append(k)
        if status in (1042, 1053) and k not in received:
            sent_but_unheard.append((k, status))
    late_sends = []
    for k, at in cancels.items():
        with open(os.path.join(work, "NETIP", "RSP.%03d" % k), "rb") as f:
            status = int(f.read().split(b",")[1])
        for seq, heard in host.heard:
            if seq == k and status == 1003 and heard > at + 0.005:
                late_sends.append((k, heard - at))
    results.append(("done", index, per, work, statuses, wrong, cancels, late_sends, host.connections,
                    dict((h, list(host.habits.values()).count(h)) for h in set(HABITS)),
                    (unsent_but_heard, uncancelled_1003, sent_but_unheard, len(host.fragments))))


def main():
    results = []
    threads = [threading.Thread(target=instance, args=(i, results)) for i in range(instances)]
    start = time.monotonic()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    claims = 0
    statuses = {}
    wrong = []
    cancels = 0
    cancelled = 0
    late = []
    habits = {}
    connections = 0
    unsent_but_heard = []
    uncancelled_1003 = []
    sent_but_unheard = []
    fragments = 0
    bad = [r for r in results if r[0] != "done"]
    for r in results:
        if r[0] != "done":
            continue
        _, index, n, work, st, wr, ca, ls, conns, hb, said = r
        unsent_but_heard += [(index, k) for k in said[0]]
        uncancelled_1003 += [(index, k) for k in said[1]]
        sent_but_unheard += [(index,) + x for x in said[2]]
        fragments += said[3]
        claims += sum(st.values())
        for s, c in st.items():
            statuses[s] = statuses.get(s, 0) + c
        wrong += [(index,) + w for w in wr]
        cancels += len(ca)
        late += [(index,) + x for x in ls]
        connections += conns
        for h, c in hb.items():
            habits[h] = habits.get(h, 0) + c
    print("claims answered: %d in %.0f s by %d drivers" % (claims, time.monotonic() - start, instances))
    print("host habits: %s" % dict(sorted(habits.items())))
    print("host connections: %d" % connections)
    print("statuses: %s" % dict(sorted(statuses.items())))
    print("claims given another claim's answer: %d %s" % (len(wrong), wrong[:5]))
    print("Cancels sent during a claim: %d; requests that reached the host after the Cancel that ended "
          "their claim (1003): %d %s" % (cancels, len(late), late[:5]))
    print("frames the host received cut short: %d" % fragments)
    print("responses 1003 for a claim the host received (whole or in part): %d %s"
          % (len(unsent_but_heard), unsent_but_heard[:5]))
    print("responses 1003 without a Cancel: %d %s" % (len(uncancelled_1003), uncancelled_1003[:5]))
    print("responses 1042/1053 for a claim the host never received: %d %s"
          % (len(sent_but_unheard), sent_but_unheard[:5]))
    print("stuck or not ended: %s" % bad)
    sys.exit(1 if wrong or late or bad or unsent_but_heard or uncancelled_1003 or sent_but_unheard else 0)


main()
