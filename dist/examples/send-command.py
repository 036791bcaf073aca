#!/usr/bin/python3
"""Sends one account command to useraccountd.

    python3 send-command.py [--no-wait] [--] WORD...

The account script receives exactly the given words: each is put in single
quotes, and a quote inside a word is written as '\\''. By default a full
queue is waited for; --no-wait fails at once instead.

Exit status: 0 sent; 1 nothing sent (the reason on standard error); 2 usage
error. The daemon runs the command later, and its outcome shows only in the
journal: see useraccountd-senders(7).

Needs the sysv_ipc module (Debian: python3-sysv-ipc).
"""
import os
import sys
from typing import NoReturn

import sysv_ipc

KEY_FILE = "/quex/etc/useraccount/useraccountkey.json"
PROJECT_ID = ord("G")
ACCOUNT_COMMAND = 1
MAX_TEXT = 8191
PROGRAM = "send-command.py"


def quote(word: bytes) -> bytes:
    return b"'" + word.replace(b"'", b"'\\''") + b"'"


def not_sent(reason: str) -> NoReturn:
    print(f"{PROGRAM}: {reason}; nothing sent", file=sys.stderr)
    sys.exit(1)


def usage() -> NoReturn:
    print(f"usage: {PROGRAM} [--no-wait] [--] WORD...", file=sys.stderr)
    sys.exit(2)


def main(args: list[str]) -> None:
    block = True
    while args and args[0].startswith("-"):
        option, args = args[0], args[1:]
        if option in ("-n", "--no-wait"):
            block = False
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
        not_sent(f"the command is {len(text)} bytes, over the limit of {MAX_TEXT}")

    # sysv_ipc.ftok() returns -1 without saying why: ask the file system.
    try:
        os.stat(KEY_FILE)
    except OSError as error:
        not_sent(f"key file {KEY_FILE}: {error.strerror} (is useraccountd installed?)")
    key = sysv_ipc.ftok(KEY_FILE, PROJECT_ID, silence_warning=True)

    # flags=0: never create the queue; only the service does. mode=0: ask
    # for no permission bits; the default, 0600, asks for read permission,
    # which senders do not have. max_message_size: the default, 2048, would
    # refuse longer commands.
    try:
        queue = sysv_ipc.MessageQueue(key, flags=0, mode=0, max_message_size=MAX_TEXT)
    except sysv_ipc.ExistentialError:
        not_sent("no command queue: the useraccountd service has not prepared it yet")

    try:
        queue.send(text, block=block, type=ACCOUNT_COMMAND)
    except sysv_ipc.BusyError:
        not_sent("the queue is full")
    except sysv_ipc.PermissionsError:
        not_sent(
            "permission denied: only root and members of the queue's group may send "
            "(membership counts from the next login)"
        )
    except sysv_ipc.ExistentialError:
        not_sent("the queue was removed while waiting for room")
    except sysv_ipc.Error as error:
        not_sent(f"msgsnd: {error}")


if __name__ == "__main__":
    main(sys.argv[1:])
