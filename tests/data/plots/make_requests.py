#!/usr/bin/env python3
"""Writes the plan figure request files of this folder (run it from anywhere; it writes beside
itself). Parcels are given as rings of local metres around a point near Abuja in EPSG:3857; each
beacon record carries the bearing and distance of its leg to the next beacon as the plan
documents compute them (bearing clockwise from grid north, whole degrees and minutes)."""
import json
import math
import os

OX, OY = 830000.0, 1000000.0
R = 6378137.0
HERE = os.path.dirname(os.path.abspath(__file__))


def poly(ring, dx=0.0, dy=0.0):
    pts = [[OX + x + dx, OY + y + dy] for x, y in ring]
    return {"type": "Polygon", "coordinates": [pts + [pts[0]]]}


def beacons(ring, prefix="PB", first=1):
    out = []
    n = len(ring)
    for i, (x, y) in enumerate(ring):
        nx, ny = ring[(i + 1) % n]
        dx, dy = nx - x, ny - y
        az = math.degrees(math.atan2(dx, dy)) % 360.0
        deg = int(az)
        mins = int(round((az - deg) * 60))
        if mins == 60:
            deg, mins = (deg + 1) % 360, 0
        out.append({
            "beacon_id": first + i,
            "beacon_name": f"{prefix}{first + i}",
            "beacon_northing": round(OY + y, 3),
            "beacon_easting": round(OX + x, 3),
            "geometry": {"type": "Point", "coordinates": [OX + x, OY + y]},
            "distance_to_next": round(math.hypot(dx, dy), 2),
            "bearing_to_next": f"{deg:02d}\u00b0{mins:02d}'",
            "bearing_deg_to_next": f"{deg:02d}\u00b0",
            "bearing_min_to_next": f"{mins:02d}'",
        })
    return out


def plot(pid, name, ring, area, bcn=None):
    rec = {"id": pid, "name": name, "area": area, "file_no": f"FN-{pid}", "geometry": poly(ring)}
    if bcn is not None:
        rec["boundary"] = bcn
    rec.update({"surveyed_by": "VEKT SURVEYS", "address": "PLOT " + name, "plan_layout_no": "PL-1"})
    return rec


def ring_area(ring):
    a = 0.0
    for i, (x, y) in enumerate(ring):
        nx, ny = ring[(i + 1) % len(ring)]
        a += x * ny - nx * y
    return abs(a) / 2


def road(name, geom):
    return {"name": name, "geometry": geom}


def line(pts):
    return {"type": "LineString", "coordinates": [[OX + x, OY + y] for x, y in pts]}


def to_deg(x, y):
    lon = math.degrees(x / R)
    lat = math.degrees(2 * math.atan(math.exp(y / R)) - math.pi / 2)
    return lon, lat


def write(name, req):
    with open(os.path.join(HERE, name), "w", encoding="utf-8") as f:
        json.dump(req, f, ensure_ascii=False, indent=1)
        f.write("\n")


# A five-sided parcel with one short leg (PB2 to PB3, 7.07 m: under 15 mm at 1:500), two
# neighbours, one parcel far away, a road line to the south and a road given as a polygon.
five = [(0, 0), (40, 0), (45, 5), (40, 30), (0, 30)]
neighbours = [
    plot(102, "B/102", [(0, 30), (40, 30), (40, 60), (0, 60)], 1200),
    plot(103, "B/103", [(-30, 0), (0, 0), (0, 30), (-30, 30)], 900),
    plot(104, "B/104", [(500, 500), (520, 500), (520, 520), (500, 520)], 400),
]
roads = [
    road("Ring Road", line([(-100, -12), (60, -12), (200, -20)])),
    road("Service Lane", poly([(55, -40), (62, -40), (62, 90), (55, 90)])),
]
five_plot = plot(101, "B/101", five, round(ring_area(five), 2), beacons(five))
base = {"parcel_data": [five_plot] + neighbours, "selected": 101, "road_data": roads, "columnname": "id",
        "bounding_box": None, "max_width_mm": 190, "max_height_mm": 160}
write("five_sided.json", base)

# The same parcel shown through a bounding box in degrees and one in metres.
lo = to_deg(OX - 40, OY - 40)
hi = to_deg(OX + 90, OY + 70)
write("five_sided_bbox_degrees.json", dict(base, bounding_box=[lo[0], lo[1], hi[0], hi[1]]))
write("five_sided_bbox_metres.json", dict(base, bounding_box=[OX - 60, OY - 50, OX + 110, OY + 80]))

# A tiny parcel: 12 m by 8 m fits 1:250.
tiny = [(0, 0), (12, 0), (12, 8), (0, 8)]
write("tiny.json", {"parcel_data": [plot(201, "T/201", tiny, 96, beacons(tiny, "TB"))], "selected": 201,
                    "road_data": [road("Lane", line([(-20, -6), (40, -6)]))], "columnname": "id"})

# A large parcel: 400 m by 300 m needs 1:2500.
large = [(0, 0), (250, -20), (400, 60), (380, 280), (120, 300), (-10, 180)]
write("large.json", {"parcel_data": [plot(301, "L/301", large, round(ring_area(large), 1), beacons(large, "LB")),
                                     plot(302, "L/302", [(400, 60), (600, 60), (600, 280), (380, 280)], 44000)],
                     "selected": 301, "road_data": [road("Trunk A", line([(-200, -60), (700, -60)]))],
                     "columnname": "id"})

# 25 beacons in clusters of three a metre and a half apart: their names collide and are nudged.
ring25 = []
for c in range(9):
    for k in range(3):
        if len(ring25) == 25:
            break
        a = 2 * math.pi * (c / 9.0) + k * (1.5 / 22.0)
        ring25.append((round(22 * math.cos(a), 3), round(22 * math.sin(a), 3)))
write("clustered_25.json", {"parcel_data": [plot(401, "C/401", ring25, round(ring_area(ring25), 2),
                                                 beacons(ring25, "CB", 1001))],
                            "selected": 401, "road_data": None, "columnname": "id"})


def star(n, r1, r2):
    return [(round((r1 if i % 2 == 0 else r2) * math.cos(2 * math.pi * i / n), 3),
             round((r1 if i % 2 == 0 else r2) * math.sin(2 * math.pi * i / n), 3)) for i in range(n)]


# Many beacons, for timing: a star-shaped parcel of 100 and one of 500 beacons.
for n in (100, 500):
    ring = star(n, 60, 52)
    write(f"beacons_{n}.json", {"parcel_data": [plot(500 + n, f"S/{n}", ring, round(ring_area(ring), 2),
                                                     beacons(ring, "SB"))] + neighbours,
                                "selected": 500 + n, "road_data": roads, "columnname": "id"})
