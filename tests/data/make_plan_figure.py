"""Writes plan_figure.png: a stand-in plan figure for the page tests and the render benchmark.

2244 x 1889 pixels, RGB without alpha, 300 dpi (190 x 160 mm): a parcel with its beacons and leg
labels, two neighbours, a road, a north arrow and a scale bar, as the real figure draws them.
Run with Debian's python3 (Pillow): python3 make_plan_figure.py
"""
import math

from PIL import Image, ImageDraw, ImageFont

W, H = 2244, 1889
img = Image.new("RGB", (W, H), "white")
d = ImageDraw.Draw(img)
font = ImageFont.truetype("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", 34)
small = ImageFont.truetype("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", 28)
bold = ImageFont.truetype("/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf", 44)

# a road along the bottom
d.polygon([(0, 1530), (W, 1430), (W, 1560), (0, 1660)], fill=(236, 236, 236), outline=(120, 120, 120))
d.text((900, 1540), "OBA AKRAN AVENUE", font=font, fill=(90, 90, 90))
# neighbours
d.polygon([(1650, 420), (2150, 420), (2150, 1180), (1650, 1180)], outline=(110, 110, 110), width=3)
d.text((1800, 760), "PLOT 13", font=font, fill=(110, 110, 110))
d.polygon([(150, 300), (580, 300), (580, 900), (150, 900)], outline=(110, 110, 110), width=3)
d.text((270, 560), "PLOT 11", font=font, fill=(110, 110, 110))
# the parcel: PB1 (0,0), PB2 (40,0), PB3 (40,30), PB4 (3,30), PB5 (0,27) at 1:500 (23.6 px/m)
s = 23.62
ox, oy = 620, 1300
pts = [(0, 0), (40, 0), (40, 30), (3, 30), (0, 27)]
xy = [(ox + x * s, oy - y * s) for x, y in pts]
d.polygon(xy, fill=(255, 247, 214), outline=(0, 0, 0), width=7)
for i, (x, y) in enumerate(xy):
    d.ellipse([x - 14, y - 14, x + 14, y + 14], outline=(0, 0, 0), width=5, fill="white")
    d.text((x + 18, y + 8 if y > 900 else y - 48), f"PB{i + 1}", font=font, fill=(0, 0, 0))
labels = [("90°05'", "40.00"), ("00°00'", "30.00"), ("270°00'", "37.00"), None, ("180°00'", "27.00")]
for i, lab in enumerate(labels):
    if lab is None:
        continue
    (x1, y1), (x2, y2) = xy[i], xy[(i + 1) % 5]
    mx, my = (x1 + x2) / 2, (y1 + y2) / 2
    d.text((mx - 70, my - 50), lab[0], font=small, fill=(0, 0, 0))
    d.text((mx - 50, my + 12), lab[1], font=small, fill=(0, 0, 0))
d.text((ox + 20 * s - 150, oy - 15 * s - 20), "PLOT 12A", font=bold, fill=(0, 0, 0))
d.text((ox + 20 * s - 150, oy - 15 * s + 40), "1158.50 m²", font=font, fill=(0, 0, 0))
# north arrow
ax, ay = 2080, 180
d.polygon([(ax, ay - 90), (ax - 36, ay + 40), (ax, ay + 10), (ax + 36, ay + 40)], fill=(0, 0, 0))
d.text((ax - 14, ay + 50), "N", font=bold, fill=(0, 0, 0))
# scale bar 0-20 m
bx, by = 900, 1780
seg = 10 * 23.62
for k in range(2):
    d.rectangle([bx + k * seg, by, bx + (k + 1) * seg, by + 22], fill=(0, 0, 0) if k == 0 else "white", outline=(0, 0, 0), width=3)
    d.text((bx + k * seg - 10, by - 44), f"{k * 10}", font=small, fill=(0, 0, 0))
d.text((bx + 2 * seg - 20, by - 44), "20 m", font=small, fill=(0, 0, 0))
d.rectangle([2, 2, W - 3, H - 3], outline=(0, 0, 0), width=4)
img.save("plan_figure.png", dpi=(300, 300), optimize=True)
