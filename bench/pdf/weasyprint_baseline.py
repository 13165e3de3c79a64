"""The worker's own render time of one page, measured inside Python: the baseline of the PDF
pool benchmark. Usage: python3 weasyprint_baseline.py WORKER_SCRIPT CSS_FILE PAGE_FILE COUNT
Prints one render time in milliseconds per line, after one warm-up render.
"""
import importlib.util
import sys
import time

spec = importlib.util.spec_from_file_location("pdf_worker", sys.argv[1])
worker = importlib.util.module_from_spec(spec)
spec.loader.exec_module(worker)
css = open(sys.argv[2], encoding="utf-8").read()
page = open(sys.argv[3], encoding="utf-8").read()
count = int(sys.argv[4])
worker.render(css, page)
for _ in range(count):
    start = time.perf_counter()
    worker.render(css, page)
    print(f"{(time.perf_counter() - start) * 1000:.3f}", flush=True)
