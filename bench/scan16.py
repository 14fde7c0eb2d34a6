# The small scanner of bench/syslog.sh and bench/webhook.sh: `count` scans,
# 16 callers at once, each waiting for its warning and hang-up; with
# --sources the callers come from 127.0.0.2-250 in turn. The first connect
# waits for the port (it is a scan too). Prints "<ok> <seconds>".
#   python3 bench/scan16.py PORT COUNT [--sources]
import socket
import sys
import threading
import time

port, count = int(sys.argv[1]), int(sys.argv[2])
spread = "--sources" in sys.argv[3:]
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
                while s.recv(256):
                    pass
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
