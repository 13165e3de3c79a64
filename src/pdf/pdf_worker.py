"""One HTML-to-PDF worker of vekt's PDF pool.

Started as `/usr/bin/python3 -I pdf_worker.py` by the pool, which caps its memory. It imports
WeasyPrint once, says it is ready, then answers requests one at a time, forever:

  request:  id (u64) | stylesheet length (u32) | page length (u32) | stylesheet | page   (UTF-8)
  answer:   id (u64) | kind (u8) | length (u64) | payload

All integers are big-endian. Kind 0 is the PDF, kind 1 an error text (UTF-8), kind 2 "ready"
(sent once at start, id 0, no payload). The page is rendered with no base URL, and the only
resources it may load are data: URLs, so a page can never read a local file or the network.
"""
import logging
import os
import struct
import sys

REQUEST_HEAD = struct.Struct(">QII")
ANSWER_HEAD = struct.Struct(">QBQ")
PDF, ERROR, READY = 0, 1, 2


def read_exact(stream, n):
    chunks = []
    while n:
        chunk = stream.read(n)
        if not chunk:
            return None
        chunks.append(chunk)
        n -= len(chunk)
    return b"".join(chunks)


def data_only(url, timeout=10, ssl_context=None):
    from weasyprint import default_url_fetcher

    if url.startswith("data:"):
        return default_url_fetcher(url, timeout=timeout, ssl_context=ssl_context)
    raise ValueError("only data: URLs may be loaded")


def render(css, page):
    """The PDF bytes of `page` under the user stylesheet `css` (both texts)."""
    from weasyprint import CSS, HTML

    stylesheet = CSS(string=css)
    document = HTML(string=page, url_fetcher=data_only)
    return document.write_pdf(stylesheets=[stylesheet])


def main():
    # The answers go to the pool over the original stdout; anything a library prints goes to
    # stderr instead, so it can never be mistaken for a frame.
    answers = os.fdopen(os.dup(1), "wb")
    os.dup2(2, 1)
    requests = sys.stdin.buffer

    # Pages that try to load something else produce a warning per attempt; keep the log quiet.
    logging.getLogger("weasyprint").setLevel(logging.ERROR)
    import weasyprint  # noqa: F401  (imported once, before the worker says it is ready)

    def answer(request_id, kind, payload):
        answers.write(ANSWER_HEAD.pack(request_id, kind, len(payload)))
        answers.write(payload)
        answers.flush()

    answer(0, READY, b"")
    while True:
        head = read_exact(requests, REQUEST_HEAD.size)
        if head is None:
            return
        request_id, css_length, page_length = REQUEST_HEAD.unpack(head)
        css = read_exact(requests, css_length)
        page = read_exact(requests, page_length)
        if css is None or page is None:
            return
        try:
            pdf = render(css.decode("utf-8"), page.decode("utf-8"))
        except MemoryError:
            answer(request_id, ERROR, b"MemoryError: the page needs more memory than a worker may use")
            continue
        except Exception as error:  # the page's own failure: report it and stay ready
            answer(request_id, ERROR, f"{type(error).__name__}: {error}".encode("utf-8", "replace"))
            continue
        answer(request_id, PDF, pdf)


if __name__ == "__main__":
    try:
        main()
    except (BrokenPipeError, KeyboardInterrupt):
        pass
