#!/usr/bin/python3
"""Sends one account command to useraccountd and, with --wait, tells what
became of it.

    python3 send-command.py [--no-wait] [--wait[=SECONDS]] [--record FILE] [--] WORD...

The account script receives exactly the given words: each is put in single
quotes, and a quote inside a word is written as '\\''. By default a full
queue is waited for; --no-wait fails at once instead. --wait then waits, at
most SECONDS if given, for the command's line in the outcome record
(/var/log/useraccountd/outcomes.log, or FILE), and prints it.

Exit status: 0 sent (with --wait: the command succeeded); 1 any other
failure; 2 usage error; 65 the command is too long; 69 no queue (the
service has not prepared it); 72 no key file (useraccountd is not
installed); 74 the queue was removed while waiting for room; 75 the queue is
full (--no-wait); 76 the queue is not the service's (root did not create
it, or an ordinary user owns it); 77 no permission to send; 130 interrupted
(Ctrl-C). With
--wait: 3 the command failed; 4 the daemon refused it; 5 its outcome is
unknown; 6 no outcome in time; 66 the record cannot be read. The reason goes
to standard error; see useraccountd-senders(7).

Needs the sysv_ipc module (Debian: python3-sysv-ipc).
"""
import os
import pwd
import re
import sys
import time
from typing import NoReturn, Optional

import sysv_ipc

KEY_FILE = "/quex/etc/useraccount/useraccountkey.json"
RECORD_FILE = "/var/log/useraccountd/outcomes.log"
PROJECT_ID = ord("G")  # ftok() takes the number, not the character
ACCOUNT_COMMAND = 1
MAX_TEXT = 8191
PROGRAM = "send-command.py"

# The exit status that each outcome in the record means.
OUTCOME_STATUS = {
    b"succeeded": 0,
    b"failed": 3,
    b"signal": 3,
    b"error": 3,
    b"refused": 4,
    b"oversized": 4,
    b"unknown": 5,
}


def quote(word: bytes) -> bytes:
    return b"'" + word.replace(b"'", b"'\\''") + b"'"


def unescape(field: bytes) -> bytes:
    """The record's text field back to the bytes sent."""
    singles = {b"\\": b"\\", b"t": b"\t", b"n": b"\n", b"r": b"\r"}
    return re.sub(
        rb"\\(x[0-9a-f]{2}|[\\tnr])",
        lambda m: bytes([int(m[1][1:], 16)]) if m[1][:1] == b"x" else singles[m[1]],
        field,
    )


def fail(status: int, reason: str, what: str = "nothing sent") -> NoReturn:
    print(f"{PROGRAM}: {reason}; {what}", file=sys.stderr)
    sys.exit(status)


def usage() -> NoReturn:
    print(
        f"usage: {PROGRAM} [--no-wait] [--wait[=SECONDS]] [--record FILE] [--] WORD...",
        file=sys.stderr,
    )
    sys.exit(2)


class Record:
    """The outcome record, as far as it has been read."""

    def __init__(self, path: str):
        self.path = path
        self.file: Optional[object] = None
        self.identity = None
        self.offset = 0

    def open(self) -> None:
        """The file that the name stands for now, read from its start."""
        file = open(self.path, "rb")  # pylint: disable=consider-using-with
        status = os.fstat(file.fileno())
        if self.file is not None:
            self.file.close()
        self.file, self.identity, self.offset = file, (status.st_dev, status.st_ino), 0

    def mark_end(self) -> None:
        """Before the send: only lines written after it can be the command's.
        A record not made yet counts from its start."""
        try:
            self.open()
            self.offset = os.fstat(self.file.fileno()).st_size
        except FileNotFoundError as error:
            if not os.path.isdir(os.path.dirname(self.path) or "."):
                fail(66, f"outcome record {self.path}: {error.strerror}")
        except OSError as error:
            fail(66, f"outcome record {self.path}: {error.strerror}")

    def command_line(self, text: bytes) -> Optional[bytes]:
        """The first line of this command among those ended since the last look."""
        if os.fstat(self.file.fileno()).st_size < self.offset:
            self.offset = 0  # cut in place (copytruncate): all of it is new
        self.file.seek(self.offset)
        for line in self.file:
            if not line.endswith(b"\n"):
                break  # taken once its newline is there
            self.offset += len(line)
            fields = line[:-1].split(b"\t")
            if len(fields) == 5 and fields[1] == b"1" and unescape(fields[4]) == text:
                return line
        return None

    def wait_for(self, text: bytes, timeout: Optional[int]) -> int:
        """Waits for the command's line, prints it and returns its status."""
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            line = self.file and self.command_line(text)
            if line:
                sys.stdout.buffer.write(line)
                return OUTCOME_STATUS.get(line.split(b"\t")[2], 1)
            # The name stands for another file: the record was rotated, or
            # made. What the old file got was read above.
            try:
                status = os.stat(self.path)
                if (status.st_dev, status.st_ino) != self.identity:
                    self.open()
                    continue
            except FileNotFoundError:
                pass
            except OSError as error:
                fail(66, f"outcome record {self.path}: {error.strerror}", "the command was sent")
            if deadline is not None and time.monotonic() >= deadline:
                fail(6, f"no outcome in {self.path} within {timeout} s", "the command was sent")
            time.sleep(0.2)


def user_name(uid: int) -> str:
    try:
        return f"{uid} ({pwd.getpwuid(uid).pw_name})"
    except KeyError:
        return str(uid)


def check_queue(queue_id: int) -> None:
    """The service's queue is created by root and owned by root or a system
    account (an id below 1000). A queue that another user took under the key
    while it was free is theirs to read, empty or re-permission: send nothing
    to it. The queue's attributes need read permission, which a sender lacks,
    but /proc/sysvipc/msg shows every user each queue's owner and creator."""
    try:
        with open("/proc/sysvipc/msg", encoding="ascii") as table:
            # key msqid perms cbytes qnum lspid lrpid uid gid cuid cgid ...
            rows = [line.split() for line in table]
    except OSError as error:
        fail(1, f"/proc/sysvipc/msg: {error.strerror}")
    for row in rows:
        if row[1] == str(queue_id):
            owner, creator = int(row[7]), int(row[9])
            if creator != 0:
                fail(76, f"queue {queue_id} was created by {user_name(creator)}, not by root: "
                     "it is not the service's")
            if owner >= 1000:
                fail(76, f"queue {queue_id} is owned by {user_name(owner)}, neither root nor a "
                     "system account: it is not the service's")
            return
    # Removed since it was opened.
    fail(69, "no command queue: the useraccountd service has not prepared it yet")


def send(queue: sysv_ipc.MessageQueue, text: bytes, block: bool) -> None:
    while True:
        try:
            queue.send(text, block=block, type=ACCOUNT_COMMAND)
            return
        except sysv_ipc.BusyError:
            fail(75, "the queue is full")
        except sysv_ipc.PermissionsError:
            fail(
                77,
                "permission denied: only root and members of the queue's group may send "
                "(membership counts from the next login)",
            )
        except sysv_ipc.ExistentialError:
            fail(74, "the queue was removed while waiting for room")
        except sysv_ipc.Error as error:
            # The base class itself, "Signaled while waiting": a signal's
            # handler ran during the wait for room (EINTR). Send again.
            if type(error) is sysv_ipc.Error:  # pylint: disable=unidiomatic-typecheck
                continue
            fail(1, f"msgsnd: {error}")


def main(args: list[str]) -> int:
    block = True
    wait = False
    timeout = None
    record = Record(RECORD_FILE)
    while args and args[0].startswith("-"):
        option, args = args[0], args[1:]
        if option in ("-n", "--no-wait"):
            block = False
        elif option == "--wait":
            wait = True
        elif re.fullmatch(r"--wait=[0-9]+", option) and int(option[7:]) > 0:
            wait, timeout = True, int(option[7:])
        elif option == "--record" and args:
            record.path, args = args[0], args[1:]
        elif option == "--":
            break
        else:
            usage()
    if not args:
        usage()

    # os.fsencode() gives back the bytes each word was given as, whatever
    # the locale.
    text = b" ".join(quote(os.fsencode(word)) for word in args)
    if len(text) > MAX_TEXT:
        fail(65, f"the command is {len(text)} bytes, over the limit of {MAX_TEXT}")

    # sysv_ipc.ftok() returns -1 without saying why: ask the file system.
    try:
        os.stat(KEY_FILE)
    except OSError as error:
        status = 72 if isinstance(error, FileNotFoundError) else 1
        fail(status, f"key file {KEY_FILE}: {error.strerror} (is useraccountd installed?)")
    key = sysv_ipc.ftok(KEY_FILE, PROJECT_ID, silence_warning=True)

    # flags=0: never create the queue; only the service does. mode=0: ask
    # for no permission bits; the default, 0600, asks for read permission,
    # which senders do not have. max_message_size: the default, 2048, would
    # refuse longer commands.
    try:
        queue = sysv_ipc.MessageQueue(key, flags=0, mode=0, max_message_size=MAX_TEXT)
    except sysv_ipc.ExistentialError:
        fail(69, "no command queue: the useraccountd service has not prepared it yet")
    check_queue(queue.id)

    if wait:
        record.mark_end()
    send(queue, text, block)
    PROGRESS["sent"] = True
    return record.wait_for(text, timeout) if wait else 0


# Said when Ctrl-C ends the program.
PROGRESS = {"sent": False}

if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except KeyboardInterrupt:
        # One line, not the traceback of the send it cut short.
        SENT = "; the command was sent" if PROGRESS["sent"] else ""
        print(f"{PROGRAM}: interrupted{SENT}", file=sys.stderr)
        sys.exit(130)
