#!/usr/bin/env python3
"""Draws the local service's sample icons and writes their catalogue.

Every icon is built from a few primitives on a 100 x 100 grid and written in one of three
forms, so the client meets all of them:
  painted  - width/height plus viewBox, fill and stroke attributes on each shape
  plain    - a viewBox only, no paint attributes (the renderer's default black fill)
  styled   - a <style> block with classes
Run from anywhere; it rewrites icons/*.svg and catalog.json beside this script.
"""
import json
import os

HERE = os.path.dirname(os.path.abspath(__file__))

PALETTE = ["#1f6feb", "#d1495b", "#edae49", "#00798c", "#30638e", "#66a182", "#8d6a9f", "#e07a5f"]

def circle(cx, cy, r): return ("circle", {"cx": cx, "cy": cy, "r": r})
def rect(x, y, w, h, rx=0): return ("rect", {"x": x, "y": y, "width": w, "height": h, "rx": rx})
def poly(*pts): return ("polygon", {"points": " ".join(f"{x},{y}" for x, y in pts)})
def path(d): return ("path", {"d": d})
def line(x1, y1, x2, y2): return ("line", {"x1": x1, "y1": y1, "x2": x2, "y2": y2})
def ellipse(cx, cy, rx, ry): return ("ellipse", {"cx": cx, "cy": cy, "rx": rx, "ry": ry})

# (term, tags, shapes)
ICONS = [
    ("coffee cup", ["drink", "cup", "cafe"], [rect(22, 35, 44, 45, 6), path("M66 45 h8 a10 10 0 0 1 0 20 h-8"), path("M35 15 q5 8 0 14 M48 15 q5 8 0 14")]),
    ("tea cup", ["drink", "cup"], [path("M20 40 h50 v15 a25 25 0 0 1 -50 0 z"), rect(15, 80, 60, 6, 3)]),
    ("anchor", ["sea", "boat"], [circle(50, 20, 8), line(50, 28, 50, 85), line(32, 40, 68, 40), path("M20 60 q30 40 60 0")]),
    ("house", ["home", "building"], [poly((50, 15), (88, 48), (12, 48)), rect(22, 48, 56, 40), rect(43, 62, 14, 26)]),
    ("barn", ["farm", "building"], [poly((50, 12), (90, 40), (90, 88), (10, 88), (10, 40)), rect(38, 55, 24, 33)]),
    ("star", ["shape", "favourite"], [poly((50, 8), (61, 38), (93, 38), (67, 57), (77, 89), (50, 70), (23, 89), (33, 57), (7, 38), (39, 38))]),
    ("heart", ["love", "shape"], [path("M50 85 L15 50 A18 18 0 0 1 50 25 A18 18 0 0 1 85 50 Z")]),
    ("cloud", ["weather", "sky"], [path("M25 75 a18 18 0 0 1 2 -36 a24 24 0 0 1 46 6 a15 15 0 0 1 2 30 z")]),
    ("rain cloud", ["weather", "rain"], [path("M25 55 a16 16 0 0 1 2 -32 a22 22 0 0 1 42 5 a14 14 0 0 1 2 27 z"), line(35, 65, 30, 80), line(50, 65, 45, 80), line(65, 65, 60, 80)]),
    ("sun", ["weather", "day"], [circle(50, 50, 18)] + [line(50, 8, 50, 22), line(50, 78, 50, 92), line(8, 50, 22, 50), line(78, 50, 92, 50), line(20, 20, 30, 30), line(70, 70, 80, 80), line(20, 80, 30, 70), line(70, 30, 80, 20)]),
    ("moon", ["night", "sky"], [path("M60 12 a38 38 0 1 0 28 58 a30 30 0 1 1 -28 -58 z")]),
    ("leaf", ["nature", "plant"], [path("M15 85 Q15 20 85 15 Q80 85 15 85 Z"), line(15, 85, 60, 40)]),
    ("pine tree", ["nature", "tree", "forest"], [poly((50, 8), (80, 50), (65, 50), (85, 78), (15, 78), (35, 50), (20, 50)), rect(44, 78, 12, 14)]),
    ("round tree", ["nature", "tree"], [circle(50, 38, 28), rect(45, 62, 10, 28)]),
    ("water drop", ["water", "rain"], [path("M50 10 C50 10 20 50 20 65 A30 30 0 0 0 80 65 C80 50 50 10 50 10 Z")]),
    ("flame", ["fire", "hot"], [path("M50 8 C60 30 80 40 75 65 A25 25 0 0 1 25 65 C22 45 40 40 50 8 Z")]),
    ("lightning bolt", ["power", "weather", "energy"], [poly((58, 5), (20, 55), (46, 55), (38, 95), (80, 40), (54, 40))]),
    ("bell", ["alert", "notification"], [path("M50 12 a25 25 0 0 1 25 25 v25 l10 12 h-70 l10 -12 v-25 a25 25 0 0 1 25 -25 z"), circle(50, 82, 7)]),
    ("key", ["security", "lock"], [circle(30, 50, 16), rect(44, 46, 44, 8), rect(72, 54, 6, 12), rect(82, 54, 6, 9)]),
    ("padlock", ["security", "lock"], [rect(22, 45, 56, 42, 6), path("M33 45 v-12 a17 17 0 0 1 34 0 v12")]),
    ("envelope", ["mail", "message"], [rect(12, 25, 76, 50, 4), path("M12 28 L50 55 L88 28")]),
    ("camera", ["photo", "device"], [rect(10, 30, 80, 52, 8), rect(35, 20, 30, 12, 3), circle(50, 56, 16)]),
    ("clock", ["time", "watch"], [circle(50, 50, 38), line(50, 50, 50, 25), line(50, 50, 68, 58)]),
    ("hourglass", ["time", "wait"], [poly((25, 10), (75, 10), (52, 50), (75, 90), (25, 90), (48, 50))]),
    ("flag", ["country", "marker"], [line(20, 10, 20, 92), poly((20, 12), (80, 22), (20, 50))]),
    ("book", ["read", "library"], [path("M50 25 Q30 15 10 20 V80 Q30 75 50 85 Q70 75 90 80 V20 Q70 15 50 25 Z"), line(50, 25, 50, 85)]),
    ("pencil", ["write", "edit"], [poly((20, 80), (25, 65), (70, 20), (80, 30), (35, 75)), poly((20, 80), (25, 65), (35, 75))]),
    ("umbrella", ["weather", "rain"], [path("M10 50 A40 40 0 0 1 90 50 Z"), path("M50 50 V82 a7 7 0 0 1 -14 0")]),
    ("mountain", ["nature", "travel"], [poly((5, 85), (38, 30), (55, 55), (68, 40), (95, 85))]),
    ("fish", ["sea", "animal", "food"], [ellipse(45, 50, 30, 18), poly((72, 50), (92, 35), (92, 65)), circle(30, 45, 3)]),
    ("bird", ["animal", "sky"], [path("M10 55 Q30 35 50 55 Q70 35 90 55 Q70 45 50 65 Q30 45 10 55 Z")]),
    ("cat", ["animal", "pet"], [circle(50, 58, 28), poly((26, 42), (28, 15), (45, 32)), poly((74, 42), (72, 15), (55, 32))]),
    ("paw", ["animal", "pet"], [ellipse(50, 65, 18, 15), circle(28, 40, 8), circle(42, 28, 8), circle(58, 28, 8), circle(72, 40, 8)]),
    ("apple", ["fruit", "food"], [path("M50 30 C30 15 10 35 20 65 C28 88 42 88 50 82 C58 88 72 88 80 65 C90 35 70 15 50 30 Z"), path("M50 30 Q52 15 62 10")]),
    ("pear", ["fruit", "food"], [path("M50 15 C40 15 38 35 30 50 C20 70 30 90 50 90 C70 90 80 70 70 50 C62 35 60 15 50 15 Z")]),
    ("carrot", ["vegetable", "food"], [poly((30, 25), (75, 30), (40, 92)), path("M52 28 L60 8 M52 28 L70 12")]),
    ("gift box", ["present", "birthday"], [rect(15, 40, 70, 48, 3), rect(10, 28, 80, 14, 3), rect(45, 28, 10, 60)]),
    ("balloon", ["party", "birthday"], [ellipse(50, 38, 24, 30), path("M50 68 q-6 10 0 14 q6 6 0 14")]),
    ("trophy", ["award", "winner"], [path("M30 12 h40 v25 a20 20 0 0 1 -40 0 z"), rect(45, 57, 10, 18), rect(32, 75, 36, 10, 2)]),
    ("medal", ["award", "winner"], [poly((35, 8), (50, 40), (65, 8)), circle(50, 62, 24)]),
    ("magnifier", ["search", "find", "zoom"], [circle(42, 42, 26), line(60, 60, 88, 88)]),
    ("gear", ["settings", "tool"], [circle(50, 50, 24), circle(50, 50, 10)] + [rect(45, 12, 10, 16), rect(45, 72, 10, 16), rect(12, 45, 16, 10), rect(72, 45, 16, 10)]),
    ("wrench", ["tool", "repair"], [path("M70 10 a20 20 0 0 0 -18 28 L15 75 a7 7 0 0 0 10 10 L62 48 a20 20 0 0 0 28 -18 l-12 6 l-8 -8 z")]),
    ("hammer", ["tool", "build"], [rect(20, 15, 50, 18, 3), rect(42, 33, 10, 58, 3)]),
    ("light bulb", ["idea", "energy"], [path("M50 10 a28 28 0 0 1 16 51 v12 h-32 v-12 a28 28 0 0 1 16 -51 z"), rect(36, 78, 28, 8, 3)]),
    ("battery", ["energy", "device", "power"], [rect(10, 30, 70, 40, 5), rect(80, 42, 8, 16, 2), rect(16, 36, 36, 28)]),
    ("plug", ["energy", "power"], [rect(30, 30, 40, 35, 6), rect(38, 12, 6, 18), rect(56, 12, 6, 18), rect(46, 65, 8, 25)]),
    ("arrow up", ["arrow", "direction"], [poly((50, 10), (85, 50), (62, 50), (62, 90), (38, 90), (38, 50), (15, 50))]),
    ("arrow down", ["arrow", "direction"], [poly((50, 90), (85, 50), (62, 50), (62, 10), (38, 10), (38, 50), (15, 50))]),
    ("arrow left", ["arrow", "direction"], [poly((10, 50), (50, 15), (50, 38), (90, 38), (90, 62), (50, 62), (50, 85))]),
    ("arrow right", ["arrow", "direction"], [poly((90, 50), (50, 15), (50, 38), (10, 38), (10, 62), (50, 62), (50, 85))]),
    ("chevron", ["arrow", "direction"], [poly((30, 15), (45, 15), (75, 50), (45, 85), (30, 85), (60, 50))]),
    ("refresh arrows", ["arrow", "reload"], [path("M80 45 A30 30 0 0 0 25 30"), poly((18, 18), (35, 25), (20, 40)), path("M20 55 A30 30 0 0 0 75 70"), poly((82, 82), (65, 75), (80, 60))]),
    ("plus sign", ["math", "add"], [rect(42, 15, 16, 70, 3), rect(15, 42, 70, 16, 3)]),
    ("check mark", ["done", "ok"], [poly((12, 52), (25, 40), (40, 58), (78, 18), (90, 30), (40, 82))]),
    ("cross mark", ["close", "cancel"], [poly((20, 10), (50, 40), (80, 10), (90, 20), (60, 50), (90, 80), (80, 90), (50, 60), (20, 90), (10, 80), (40, 50), (10, 20))]),
    ("speech bubble", ["chat", "message"], [path("M15 20 h70 a8 8 0 0 1 8 8 v35 a8 8 0 0 1 -8 8 h-45 l-18 16 v-16 h-7 a8 8 0 0 1 -8 -8 v-35 a8 8 0 0 1 8 -8 z")]),
    ("map pin", ["location", "marker", "travel"], [path("M50 92 C50 92 20 58 20 38 A30 30 0 0 1 80 38 C80 58 50 92 50 92 Z"), circle(50, 38, 10)]),
    ("globe", ["world", "travel"], [circle(50, 50, 38), ellipse(50, 50, 16, 38), line(12, 50, 88, 50)]),
    ("bicycle", ["travel", "sport"], [circle(25, 65, 16), circle(75, 65, 16), path("M25 65 L42 35 L62 35 L75 65 M42 35 L50 65 L62 35")]),
    ("car", ["travel", "vehicle"], [path("M10 62 v-12 l12 -4 l12 -16 h30 l14 16 l12 4 v12 z"), circle(28, 66, 9), circle(72, 66, 9)]),
    ("sailboat", ["sea", "boat", "travel"], [poly((48, 10), (48, 65), (18, 65)), poly((54, 20), (54, 65), (82, 65)), path("M12 72 h76 l-10 14 h-56 z")]),
    ("rocket", ["space", "launch"], [path("M50 8 C68 25 68 55 62 72 H38 C32 55 32 25 50 8 Z"), poly((38, 60), (22, 80), (38, 74)), poly((62, 60), (78, 80), (62, 74)), circle(50, 38, 7)]),
    ("planet", ["space", "sky"], [circle(50, 50, 22), ellipse(50, 50, 42, 10)]),
    ("dice", ["game", "chance"], [rect(15, 15, 70, 70, 10), circle(32, 32, 6), circle(50, 50, 6), circle(68, 68, 6)]),
    ("puzzle piece", ["game", "solution"], [path("M20 30 h18 a8 8 0 1 1 16 0 h18 v18 a8 8 0 1 1 0 16 v18 h-52 z")]),
    ("music note", ["music", "sound"], [ellipse(35, 75, 12, 9), rect(44, 15, 6, 60), path("M50 15 q20 5 25 20 q-10 -8 -25 -5 z")]),
    ("headphones", ["music", "sound", "device"], [path("M18 62 v-12 a32 32 0 0 1 64 0 v12"), rect(12, 58, 16, 26, 5), rect(72, 58, 16, 26, 5)]),
    ("shopping bag", ["shop", "buy"], [rect(18, 35, 64, 52, 4), path("M35 35 v-8 a15 15 0 0 1 30 0 v8")]),
    ("hexagon", ["shape", "geometry"], [poly((50, 8), (86, 29), (86, 71), (50, 92), (14, 71), (14, 29))]),
    ("triangle", ["shape", "geometry"], [poly((50, 12), (90, 85), (10, 85))]),
    ("diamond", ["shape", "jewel"], [poly((30, 15), (70, 15), (90, 38), (50, 90), (10, 38))]),
]

CREATORS = [
    {"id": "101", "name": "Ada Lindqvist", "username": "adal", "location": "Malmo, Sweden"},
    {"id": "102", "name": "Tomas Oduya", "username": "todu", "location": "Nairobi, Kenya"},
    {"id": "103", "name": "Mei Harada", "username": "meiharada", "location": "Sapporo, Japan"},
    {"id": "104", "name": "Rafael Quint", "username": "rquint", "location": ""},
    {"id": "105", "name": "Noor Haddad", "username": "noorh", "location": "Amman, Jordan"},
    {"id": "106", "name": "Pieter de Vos", "username": "pdevos", "location": "Ghent, Belgium"},
    {"id": "107", "name": "", "username": "anonymous-maker", "location": "Lisbon, Portugal"},
    {"id": "108", "name": "Lucia Ferro", "username": "lferro", "location": "Turin, Italy"},
]
for c in CREATORS:
    c["permalink"] = "/" + c["username"]

COLLECTIONS = [
    {"id": "2001", "name": "Weather Basics", "creator_id": "101", "tags": ["weather"]},
    {"id": "2002", "name": "Out In Nature", "creator_id": "102", "tags": ["nature"]},
    {"id": "2003", "name": "Travel Kit", "creator_id": "103", "tags": ["travel"]},
    {"id": "2004", "name": "Arrows And Signs", "creator_id": "104", "tags": ["arrow"]},
    {"id": "2005", "name": "Workshop", "creator_id": "105", "tags": ["tool"]},
    {"id": "2006", "name": "Party Time", "creator_id": "106", "tags": ["birthday", "party"]},
    {"id": "2007", "name": "Animals", "creator_id": "108", "tags": ["animal"]},
    {"id": "2008", "name": "Kitchen Table", "creator_id": "101", "tags": ["food", "drink"]},
    {"id": "2009", "name": "Energy", "creator_id": "102", "tags": ["energy"]},
    {"id": "2010", "name": "Shapes", "creator_id": "103", "tags": ["shape"]},
]

def slug(term):
    return term.replace(" ", "-")

def fmt(v):
    return str(v)

def element(kind, attrs, extra):
    parts = [f'{k}="{fmt(v)}"' for k, v in attrs.items() if not (k == "rx" and v == 0)]
    parts += [f'{k}="{v}"' for k, v in extra.items()]
    return f"  <{kind} {' '.join(parts)}/>"

def is_line_like(kind, attrs):
    return kind == "line" or (kind == "path" and attrs["d"].count("z") == 0 and attrs["d"].count("Z") == 0)

def render(index, term, shapes):
    form = ["painted", "plain", "plain", "styled", "painted", "plain", "painted", "plain"][index % 8]
    if index % 16 == 3:
        form = "styled"
    colour = PALETTE[index % len(PALETTE)]
    accent = PALETTE[(index + 3) % len(PALETTE)]
    lines = []
    if form == "painted":
        lines.append('<svg xmlns="http://www.w3.org/2000/svg" width="100" height="100" viewBox="0 0 100 100">')
        for i, (kind, attrs) in enumerate(shapes):
            if is_line_like(kind, attrs):
                extra = {"fill": "none", "stroke": accent, "stroke-width": "6", "stroke-linecap": "round"}
            else:
                extra = {"fill": [colour, accent, "#ffffff"][i % 3], "stroke": "#222222", "stroke-width": "2"}
            lines.append(element(kind, attrs, extra))
    elif form == "plain":
        lines.append('<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 100 100">')
        for kind, attrs in shapes:
            # Open strokes drawn as thin filled outlines would vanish: give them a stroke width
            # through a transform-free style only where needed.
            extra = {"style": "fill:none;stroke:#000;stroke-width:6"} if is_line_like(kind, attrs) else {}
            lines.append(element(kind, attrs, extra))
    else:
        lines.append('<svg xmlns="http://www.w3.org/2000/svg" width="64" height="64" viewBox="0 0 100 100">')
        lines.append("  <style>")
        lines.append(f"    .body {{ fill: {colour}; stroke: #1b1b1b; stroke-width: 2; }}")
        lines.append(f"    .line {{ fill: none; stroke: {accent}; stroke-width: 6; stroke-linecap: round; }}")
        lines.append("  </style>")
        for kind, attrs in shapes:
            cls = "line" if is_line_like(kind, attrs) else "body"
            lines.append(element(kind, attrs, {"class": cls}))
    lines.append("</svg>")
    return "\n".join(lines) + "\n", form

def main():
    icons_dir = os.path.join(HERE, "icons")
    os.makedirs(icons_dir, exist_ok=True)
    for name in os.listdir(icons_dir):
        if name.endswith(".svg"):
            os.remove(os.path.join(icons_dir, name))
    icons = []
    for index, (term, tags, shapes) in enumerate(ICONS):
        icon_id = str(30001 + index * 7)
        svg, form = render(index, term, shapes)
        file_name = f"icons/{slug(term)}-{icon_id}.svg"
        with open(os.path.join(HERE, file_name), "w") as f:
            f.write(svg)
        creator = CREATORS[index % len(CREATORS)]
        collection_ids = [c["id"] for c in COLLECTIONS if set(c["tags"]) & set(tags)][:2]
        icons.append({
            "id": icon_id,
            "term": term,
            "term_slug": slug(term),
            "permalink": f"/term/{slug(term)}/{icon_id}",
            "uploader_id": creator["id"],
            "file": file_name,
            "collection_ids": collection_ids,
            "tags": tags,
            "svg_form": form,
            "uploaded_at": f"2026-{1 + index % 12:02d}-{1 + (index * 5) % 28:02d}T{(index * 7) % 24:02d}:00:00Z",
        })
    catalog = {
        "about": "Sample data of the local service: icons drawn for this project, their creators and collections.",
        "page_size": 24,
        "creators": CREATORS,
        "collections": [{k: v for k, v in c.items() if k != "tags"} for c in COLLECTIONS],
        "icons": icons,
        "users": [
            {"full_name": "Demo Person", "auth_user": {"id": "4242", "username": "demo", "email": "demo@vexelworks.invalid"}},
        ],
    }
    with open(os.path.join(HERE, "catalog.json"), "w") as f:
        json.dump(catalog, f, indent=2)
        f.write("\n")
    print(f"{len(icons)} icons written")

if __name__ == "__main__":
    main()
