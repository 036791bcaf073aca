#!/usr/bin/python3
"""send-command.py [--no-wait] [--timeout=SECONDS] WORD...: sends one account command to
useraccountd and exits with its outcome, with the statuses of useraccountctl send;
useraccountd-senders(7) explains each step. Needs Debian's python3, for python3-sysv-ipc."""
import os
import re
import sys
import time

import sysv_ipc

KEY_FILE = "/quex/etc/useraccount/useraccountkey.json"
RECORD = "/var/log/useraccountd/outcomes.log"
STATUSES = {b"succeeded": 0, b"ignored": 0, b"failed": 3, b"signal": 3, b"error": 3,
            b"refused": 4, b"oversized": 4, b"unknown": 5}
SEND_ERRORS = {sysv_ipc.BusyError: 75, sysv_ipc.ExistentialError: 74, sysv_ipc.PermissionsError: 77}


def fail(status, reason):
    print(f"send-command.py: {reason}", file=sys.stderr)
    sys.exit(status)


def open_record(then):  # None while the directory is there but not the file
    try:
        return open(RECORD, "rb")  # pylint: disable=consider-using-with
    except OSError as error:
        if isinstance(error, FileNotFoundError) and os.path.isdir(os.path.dirname(RECORD)):
            return None
        return fail(66, f"{RECORD}: {error.strerror}; {then}")


def wait_for_outcome(record, text, timeout):
    # Reads the record on until the command's line. Once the name stands for another
    # file (rotated, or made), the old one is complete: it is read to its end, then
    # the new one from its start.
    deadline, pending = time.monotonic() + (timeout or float("inf")), b""
    while True:
        try:
            now = os.stat(RECORD)
            moved = not record or not os.path.samestat(now, os.fstat(record.fileno()))
        except FileNotFoundError:
            moved = False
        *lines, pending = (pending + (record.read() if record else b"")).split(b"\n")  # whole lines
        for fields in (line.split(b"\t") for line in lines):  # time type outcome detail text
            # unicode_escape reads back \\ \t \n \r \xhh, latin-1 gives each byte back.
            sent = fields[-1].decode("unicode_escape").encode("latin-1")
            if len(fields) == 5 and fields[1] == b"1" and sent == text:
                sys.stdout.buffer.write(b"\t".join(fields) + b"\n")
                return STATUSES.get(fields[2], 1)
        if moved:
            record, pending = open_record("the command was sent"), b""
        elif time.monotonic() >= deadline:
            fail(6, f"no outcome in {RECORD} within {timeout} s; the command was sent")
        else:
            time.sleep(0.2)


args, options = sys.argv[1:], {"--no-wait": None, "--timeout": "0"}
while args and re.fullmatch(r"--no-wait|--timeout=0*[1-9][0-9]*", args[0]):
    name, _, value = args.pop(0).partition("=")
    options[name] = value
block, timeout = options["--no-wait"] is None, int(options["--timeout"])
if not args or args[0].startswith("--"):
    fail(2, "usage: send-command.py [--no-wait] [--timeout=SECONDS] WORD...")
# Each word in single quotes, a quote in it as '\''; os.fsencode() gives back its bytes.
text = b" ".join(b"'" + os.fsencode(word).replace(b"'", b"'\\''") + b"'" for word in args)
if len(text) > 8191:
    fail(65, f"the command is {len(text)} bytes, over the limit of 8191; nothing sent")
try:
    os.stat(KEY_FILE)  # sysv_ipc.ftok() returns -1 without saying why
except OSError as error:
    fail(72 if isinstance(error, FileNotFoundError) else 1,
         f"{KEY_FILE}: {error.strerror}; nothing sent")
key = sysv_ipc.ftok(KEY_FILE, ord("G"), silence_warning=True)
try:  # flags=0: never create the queue; mode=0: ask for no read permission
    queue = sysv_ipc.MessageQueue(key, flags=0, mode=0, max_message_size=8191)
except sysv_ipc.ExistentialError as error:
    fail(69, f"msgget: {error}; nothing sent")
# The service's: created by root (cuid, 10th column), owned by root or a system account (uid, 8th).
with open("/proc/sysvipc/msg", encoding="ascii") as table:
    row = next((r for r in map(str.split, table) if r[1] == str(queue.id)), None)
if row is None:
    fail(69, f"queue {queue.id} was removed since it was opened; nothing sent")
if row[9] != "0" or int(row[7]) >= 1000:
    fail(76, f"queue {queue.id}: creator {row[9]}, owner {row[7]}, not the service's; nothing sent")
record = open_record("nothing sent")  # only a line written after the send can be its own
if record:
    record.seek(0, os.SEEK_END)
try:  # Ctrl-C: one line, not the tracebacks of the send it cuts short
    while True:
        try:
            queue.send(text, block=block, type=1)  # block=False: fail on a full queue
            break
        except (sysv_ipc.Error, OSError) as error:  # the base class: a signal's handler ran
            if type(error) is not sysv_ipc.Error:  # pylint: disable=unidiomatic-typecheck
                fail(SEND_ERRORS.get(type(error), 1), f"msgsnd: {error}; nothing sent")
    sys.exit(wait_for_outcome(record, text, timeout))
except KeyboardInterrupt:
    fail(130, "interrupted")
