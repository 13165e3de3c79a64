"""A stand-in PDF worker for the pool's fault tests: the real framing, with behaviour chosen by
the stylesheet text of each request (the page text comes back as the "PDF"):

  echo          answer the page text
  sleep S       wait S seconds, then answer the page text
  error TEXT    answer an error frame with TEXT
  exit          end the process with status 3 before answering
  exit-once F   the first worker to see it creates file F and ends as exit does; later ones echo
  wrong-id      answer under another request id
  alloc MB      allocate MB megabytes (fails under the pool's memory cap)
  pid           answer this process's id

How it starts is chosen by the file named in VEKT_FAKE_WORKER_START, read as it starts (no
variable or no file: it says it is ready at once):

  hang          never say ready
  hang-once     the first worker to see it empties the file and never says ready; later ones start
  die           say ready, then end with status 3 at once
"""
import os
import struct
import sys
import time

REQUEST_HEAD = struct.Struct(">QII")
ANSWER_HEAD = struct.Struct(">QBQ")


def read_exact(stream, n):
    data = b""
    while len(data) < n:
        chunk = stream.read(n - len(data))
        if not chunk:
            sys.exit(0)
        data += chunk
    return data


def start_mode():
    path = os.environ.get("VEKT_FAKE_WORKER_START")
    try:
        with open(path or "", "r+") as f:
            mode = f.read().strip()
            if mode == "hang-once":
                f.seek(0)
                f.truncate()
            return mode
    except OSError:
        return ""


def main():
    out = sys.stdout.buffer
    inp = sys.stdin.buffer

    def answer(request_id, kind, payload):
        out.write(ANSWER_HEAD.pack(request_id, kind, len(payload)) + payload)
        out.flush()

    mode = start_mode()
    if mode in ("hang", "hang-once"):
        while True:
            time.sleep(60)
    answer(0, 2, b"")
    if mode == "die":
        os._exit(3)
    while True:
        request_id, css_length, page_length = REQUEST_HEAD.unpack(read_exact(inp, REQUEST_HEAD.size))
        command = read_exact(inp, css_length).decode().split(" ", 1)
        page = read_exact(inp, page_length)
        verb, arg = command[0], command[1] if len(command) > 1 else ""
        if verb == "sleep":
            time.sleep(float(arg))
        elif verb == "error":
            answer(request_id, 1, arg.encode())
            continue
        elif verb == "exit":
            os._exit(3)
        elif verb == "exit-once":
            try:
                os.close(os.open(arg, os.O_CREAT | os.O_EXCL | os.O_WRONLY))
                os._exit(3)
            except FileExistsError:
                pass
        elif verb == "wrong-id":
            answer(request_id + 1, 0, page)
            continue
        elif verb == "alloc":
            try:
                block = bytearray(int(arg) << 20)
                del block
            except MemoryError:
                answer(request_id, 1, b"MemoryError")
                continue
        elif verb == "pid":
            answer(request_id, 0, str(os.getpid()).encode())
            continue
        answer(request_id, 0, page)


main()
