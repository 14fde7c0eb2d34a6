# The small scanner of bench/syslog.sh and bench/webhook.sh: `count` scans,
# 16 callers at once, each waiting for its warning and hang-up; with
# --sources the callers come from 127.0.0.2-250 in turn. The first connect
# waits for the port (it is a scan too). With --warned a caller hangs up
# itself once its warning line is in, for a program that does not.
# Prints "<ok> <seconds>".
#   python3 bench/scan16.py PORT COUNT [--sources] [--warned]
import socket
import sys
import threading
import time

port, count = int(sys.argv[1]), int(sys.argv[2])
spread = "--sources" in sys.argv[3:]
warned = "--warned" in sys.argv[3:]
deadline = time.time() + 30
while True:
    try:
        socket.create_connection(("127.0.0.1", port), 1).close()
        break
    except OSError:
        if time.time() > deadline:
            sys.exit("port never opened")
        time.sleep(0.05)
ok = [0]
lock = threading.Lock()
left = [count]
source = [0]


def caller():
    while True:
        with lock:
            if left[0] == 0:
                return
            left[0] -= 1
            source[0] = source[0] % 249 + 1
            frm = ("127.0.0.%d" % (source[0] + 1), 0) if spread else None
        try:
            with socket.create_connection(("127.0.0.1", port), 5, frm) as s:
                s.settimeout(5)
                got = b""
                while not (warned and got.endswith(b"\r\n")):
                    data = s.recv(256)
                    if not data:
                        break
                    got += data
            with lock:
                ok[0] += 1
        except OSError:
            pass


start = time.time()
threads = [threading.Thread(target=caller) for _ in range(16)]
for t in threads:
    t.start()
for t in threads:
    t.join()
print(ok[0] + 1, time.time() - start)  # the port probe was a scan too
