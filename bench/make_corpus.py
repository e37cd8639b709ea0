#!/usr/bin/env python3
"""make_corpus.py [--small] [--tree] [--seed N] OUTDIR

Writes the benchmark corpus of `make bench` into OUTDIR (created if missing; files of the
same names are overwritten, nothing else is touched):

  make_corpus.py OUTDIR               nine files, 64 MiB in all (about 5 s)
  make_corpus.py --tree OUTDIR        a folder tree of about 3650 files, ~64 MiB (about 10 s)
  --small                             the same at 1/16 of the size (about 1 s each)
  --seed N                            another corpus of the same kinds (default 20240607)

Times are for one 2.6 GHz core (AMD EPYC) with nothing else to do; twice that on a busy one. Python 3.9 or later, standard library only; reads nothing
but its own code. The bytes depend on the mode and the seed alone: every file draws from a
Mersenne Twister seeded with a string naming the seed and the file (Python seeds from a
string through SHA-512, the same on every version and machine), only through getrandbits,
so no version's way of turning bits into ranges matters; and only integer arithmetic and
exactly rounded float operations (the float32 rounding of struct, a division, a square
root) reach the data. The flat corpus lists every file with its size and SHA-256 in
OUTDIR/MANIFEST.txt, the tree in OUTDIR/.manifest.txt (a dot name, which packing passes
over): compare them to know that two machines measure the same data.

The flat corpus (sizes at full scale):
  config.txt    12 MiB  class-structured text, tab-indented, CR LF: mission-editor blocks
                        (positions and numbers with 6 decimals) and hand-written config
                        classes (base classes, "key = value;", arrays)
  script.txt     6 MiB  script source: functions, nested if/else/for/while blocks,
                        comments, string literals; tabs, some functions in 4 spaces; CR LF
  prose.txt      8 MiB  English-like prose from a Zipf-ranked vocabulary, paragraphs
                        wrapped at 76 columns, CR LF; begins with an indented title
  geometry.f32  10 MiB  model records: float32 positions on a grid, normals, UVs, uint32
                        triangle indices, texture names, and lower levels of detail that
                        repeat every second vertex of the level above
  image.raw      8 MiB  8-bit pictures: grey height fields, RGB and RGBA textures (smooth
                        gradients, low noise, flat areas, constant alpha), paletted tiles
  random.dat     6 MiB  random bytes behind a 16-byte header every 4 KiB: does not compress
  sparse.dat     6 MiB  fixed 64-byte records, mostly zero, with small integers in a few
                        fields, and long runs of empty records
  runs.dat       4 MiB  runs of one byte (20 B to 64 KiB; spaces and zeros most often)
                        between short text lines or a few random bytes
  mixed.dat      4 MiB  blocks of 16 to 256 KiB of the kinds above, each drawn afresh,
                        beginning with a geometry block

Every file comes back byte for byte from the tool's archive: the text kinds hold no zero
byte (prose.txt begins with spaces and extracts as repaired), and a binary file's first
4095 bytes hold no space (one there is written as "!"), so that the coder's references to
the spaces it keeps before the data cannot be taken for references to zeros.

The tree (--tree): ten top folders (config, missions, scripts, text, models, textures,
sound, music, data, ui), each with three to six folders, some of those with one to three
more; a README without extension at the top, three empty folders and six one-byte files.
File sizes run from 1 KiB to 1 MiB, skewed to the small end (median about 4 KiB, nine in
ten below 32 KiB, a few dozen above 256 KiB); the extension follows the content: .cfg and
.txt class text, .scr script, .txt prose, .mesh geometry, .img image, .dat sparse, and the
extensions the tool stores unchanged, .ogg, .wss and .jpg (random) and .bin (sparse),
about a third of the bytes. About one name in twenty is upper case.
"""

import argparse
import bisect
import hashlib
import math
import operator
import os
import random
import struct
import sys
import time
from fractions import Fraction

KIB = 1 << 10
MIB = 1 << 20
DEFAULT_SEED = 20240607

FLAT_FILES = [  # name, kind, size at full scale
    ("config.txt", "config", 12 * MIB),
    ("script.txt", "script", 6 * MIB),
    ("prose.txt", "prose", 8 * MIB),
    ("geometry.f32", "geometry", 10 * MIB),
    ("image.raw", "image", 8 * MIB),
    ("random.dat", "random", 6 * MIB),
    ("sparse.dat", "sparse", 6 * MIB),
    ("runs.dat", "runs", 4 * MIB),
    ("mixed.dat", "mixed", 4 * MIB),
]
TEXT_KINDS = {"config", "script", "prose"}
CRLF = "\r\n"


class Draw:
    """Integer draws from one named stream; see the module comment on determinism."""

    def __init__(self, seed, name):
        self._bits = random.Random(f"{seed}/{name}").getrandbits

    def below(self, n):
        """0 <= r < n, every value alike (n >= 1)."""
        width = (n - 1).bit_length()
        value = self._bits(width)
        while value >= n:
            value = self._bits(width)
        return value

    def between(self, low, high):
        """low <= r <= high."""
        return low + self.below(high - low + 1)

    def pick(self, items):
        return items[self.below(len(items))]

    def percent(self, chance):
        """True chance times in a hundred."""
        return self.below(100) < chance

    def raw(self, count):
        return self._bits(8 * count).to_bytes(count, "little") if count else b""


class Ranked:
    """Draws items by integer weights."""

    def __init__(self, items, weights):
        self.items = list(items)
        self.bounds = []
        total = 0
        for weight in weights:
            total += weight
            self.bounds.append(total)
        self.total = total

    def draw(self, d):
        return self.items[bisect.bisect_right(self.bounds, d.below(self.total))]


def shuffle(d, items):
    for i in range(len(items) - 1, 0, -1):
        j = d.below(i + 1)
        items[i], items[j] = items[j], items[i]


def upto(size, make_piece):
    """Joins pieces from make_piece() until there are size bytes, and cuts there."""
    pieces = []
    length = 0
    while length < size:
        piece = make_piece()
        pieces.append(piece)
        length += len(piece)
    return b"".join(pieces)[:size]


def decimals(units, scale):
    """units / scale written with 6 decimals, rounded half up, by integer arithmetic."""
    sign = "-" if units < 0 else ""
    millionths = (abs(units) * 1000000 * 2 + scale) // (2 * scale)
    return f"{sign}{millionths // 1000000}.{millionths % 1000000:06d}"


# ---------------------------------------------------------------------------------------
# Names: invented words, so that no text here is anybody's.

SYLLABLES = ["ka", "ro", "mi", "tes", "van", "lo", "dur", "en", "sa", "pol", "ni", "ga",
             "ber", "tho", "al", "qui", "fen", "ru", "os", "mak", "li", "zer", "ta", "hun"]


def word(d, low=2, high=3, syllables=SYLLABLES):
    return "".join(d.pick(syllables) for _ in range(d.between(low, high)))


def camel(d):
    return word(d, 1, 2) + word(d, 1, 2).capitalize()


# ---------------------------------------------------------------------------------------
# config: class-structured text

UNIT_KINDS = ["Rifleman", "Grenadier", "Medic", "Engineer", "Marksman", "Officer", "Pilot",
              "Driver", "Gunner", "Scout", "Farmer", "Worker", "LightTruck", "HeavyTruck",
              "Jeep", "Tank", "Helicopter", "Boat", "Tent", "Crate", "Barrel", "Lamp",
              "Fence", "Tower"]
FACTIONS = ["NORTH", "SOUTH", "CIVIL", "NEUTRAL", "LOGIC"]
GRADES = ["PRIVATE", "CORPORAL", "SERGEANT", "LIEUTENANT", "CAPTAIN", "MAJOR"]
ORDERS = ["MOVE", "HOLD", "GUARD", "PATROL", "CYCLE", "BOARD", "LEAVE", "SUPPORT"]
PACES = ["SLOW", "NORMAL", "FAST", "KEEP"]
MOODS = ["SAFE", "AWARE", "COMBAT", "STEALTH", "CARELESS"]


class ClassText:
    """Lines of class text at a current depth of tabs."""

    def __init__(self):
        self.lines = []
        self.depth = 0

    def line(self, text):
        self.lines.append("\t" * self.depth + text + CRLF)

    def open(self, name):
        self.line("class " + name)
        self.line("{")
        self.depth += 1

    def close(self):
        self.depth -= 1
        self.line("};")

    def text(self):
        return "".join(self.lines)


def editor_unit(t, d, index, ident, faction, centre):
    t.open(f"Item{index}")
    x = centre[0] + d.between(-24000, 24000)
    z = centre[1] + d.between(-24000, 24000)
    height = d.between(0, 3000)
    t.line(f"position[]={{{decimals(x, 256)},{decimals(height, 100)},{decimals(z, 256)}}};")
    if d.percent(70):
        t.line(f"azimut={decimals(d.between(0, 3599), 10)};")
    t.line(f"id={ident};")
    t.line(f'side="{faction}";')
    t.line(f'vehicle="{d.pick(UNIT_KINDS)}";')
    if index == 0:
        t.line("leader=1;")
    t.line(f'rank="{d.pick(GRADES)}";')
    t.line(f"skill={decimals(d.between(20, 100), 100)};")
    if d.percent(25):
        t.line(f"health={decimals(d.between(30, 100), 100)};")
    if d.percent(15):
        t.line(f'init="setMood(this, ""{d.pick(MOODS)}""); setOrder(this, {d.below(60)})";')
    t.close()


def editor_block(d):
    """One mission as the editor saves it: settings, groups of units, waypoints, markers."""
    t = ClassText()
    t.open("Mission")
    t.line(f"version={d.between(10, 12)};")
    t.open("Settings")
    for key, low, high in (("daytime", 0, 999), ("rain", 0, 999), ("mist", 0, 999)):
        t.line(f"{key}={decimals(d.between(low, high), 1000)};")
    t.line(f"year={d.between(1980, 2010)};")
    t.line(f"month={d.between(1, 12)};")
    t.line(f"day={d.between(1, 28)};")
    t.line(f"hour={d.between(0, 23)};")
    t.line("minute=0;")
    t.close()
    groups = d.between(3, 12)
    ident = 0
    t.open("Groups")
    t.line(f"items={groups};")
    for group in range(groups):
        faction = d.pick(FACTIONS)
        centre = (d.between(256000, 3840000), d.between(256000, 3840000))
        t.open(f"Item{group}")
        t.line(f'side="{faction}";')
        units = d.between(1, 12)
        t.open("Vehicles")
        t.line(f"items={units};")
        for unit in range(units):
            editor_unit(t, d, unit, ident, faction, centre)
            ident += 1
        t.close()
        if d.percent(60):
            points = d.between(1, 5)
            t.open("Waypoints")
            t.line(f"items={points};")
            for point in range(points):
                t.open(f"Item{point}")
                x = centre[0] + d.between(-40000, 40000)
                z = centre[1] + d.between(-40000, 40000)
                t.line(f"position[]={{{decimals(x, 64)},0.000000,{decimals(z, 64)}}};")
                t.line(f'type="{d.pick(ORDERS)}";')
                if d.percent(40):
                    t.line(f'speed="{d.pick(PACES)}";')
                t.close()
            t.close()
        t.close()
    t.close()
    markers = d.between(0, 6)
    if markers:
        t.open("Markers")
        t.line(f"items={markers};")
        for marker in range(markers):
            t.open(f"Item{marker}")
            t.line(f"position[]={{{decimals(d.between(0, 960000), 64)},0.000000,"
                   f"{decimals(d.between(0, 960000), 64)}}};")
            t.line(f'name="{word(d)}{marker}";')
            t.line(f'text="{word(d).capitalize()} {word(d)}";')
            t.line(f'type="{d.pick(["Dot", "Flag", "Arrow", "Circle"])}";')
            t.close()
        t.close()
    t.close()
    return t.text()


def handwritten_block(d):
    """A config class as a person writes it: base classes, spaces around '=', arrays."""
    t = ClassText()
    root = "Cfg" + word(d).capitalize()
    t.open(root)
    base = word(d).capitalize() + "Base"
    t.line(f"class {base};")
    for _ in range(d.between(2, 8)):
        t.line("class " + word(d).capitalize() + camel(d) + ": " + base)
        t.line("{")
        t.depth += 1
        t.line("scope = 2;")
        t.line(f'displayName = "{word(d).capitalize()} {word(d)}";')
        t.line(f'model = "\\{word(d)}\\{word(d)}.mesh";')
        for _ in range(d.between(2, 7)):
            t.line(f"{camel(d)} = {d.below(2000)};")
        if d.percent(60):
            items = ", ".join(f'"{camel(d)}"' for _ in range(d.between(1, 4)))
            t.line(f"{camel(d)}[] = {{{items}}};")
        if d.percent(40):
            t.line(f"{camel(d)} = {decimals(d.below(50000), 1000)};")
        t.close()
    t.close()
    return t.text()


def config_text(d, size):
    return upto(size, lambda: (editor_block(d) if d.percent(65)
                               else handwritten_block(d)).encode())


# ---------------------------------------------------------------------------------------
# script: source code

CALLS = ["spawnUnit", "moveTo", "setSpeed", "getPos", "distance", "say", "hint", "wait",
         "createMarker", "deleteMarker", "setVariable", "getVariable", "isAlive", "random",
         "attach", "detach", "setDamage", "addItem", "removeItem", "count", "select",
         "push", "log", "format", "playSound", "setDir", "getDir", "inArea"]
MESSAGES = ["Area secured.", "Move out!", "Reinforcements on the way.", "Hold position.",
            "Target destroyed.", "Out of ammunition.", "Objective %1 reached.",
            "Regroup at the bridge.", "Supplies dropped at %1.", "All clear."]
VERBS = ["Check", "Update", "Move", "Count", "Find", "Reset", "Clear", "Report", "Store"]
NOUNS = ["target", "group", "marker", "vehicle", "list", "position", "timer", "crate"]
TAILS = ["before the next wave", "if it is still alive", "once per second", "for the leader",
         "when the area is clear", "again"]
COMPARE = ["<", ">", "<=", ">=", "==", "!="]
ARITH = ["+", "-", "*", "/"]


class Script:
    def __init__(self, d, variables, indent):
        self.d = d
        self.names = variables
        self.indent = indent
        self.lines = []

    def line(self, depth, text):
        self.lines.append(self.indent * depth + text + CRLF)

    def value(self):
        d = self.d
        roll = d.below(10)
        if roll < 4:
            return d.pick(self.names)
        if roll < 6:
            return str(d.below(100))
        if roll < 7:
            return f"{d.below(100)}.{d.below(10)}"
        if roll < 8:
            return f'"{d.pick(MESSAGES)}"'
        return f"{d.pick(self.names)} {d.pick(ARITH)} {d.pick(self.names)}"

    def call(self):
        d = self.d
        args = ", ".join(self.value() for _ in range(d.below(4)))
        return f"{d.pick(CALLS)}({args})"

    def statement(self, depth):
        d = self.d
        roll = d.below(10)
        if roll < 3:
            self.line(depth, f"local {d.pick(self.names)} = {self.call()};")
        elif roll < 5:
            self.line(depth, f"// {d.pick(VERBS)} the {d.pick(NOUNS)} {d.pick(TAILS)}.")
        elif roll < 6:
            self.line(depth, f"wait({d.below(10)}.{d.below(10)});")
        elif roll < 7:
            self.line(depth, f"{d.pick(self.names)} = {self.value()};")
        else:
            self.line(depth, self.call() + ";")

    def block(self, depth, budget):
        d = self.d
        for _ in range(budget):
            roll = d.below(12) if depth < 5 else 0
            if roll < 8:
                self.statement(depth)
                continue
            a, b = d.pick(self.names), d.pick(self.names)
            if roll < 10:
                self.line(depth, f"if ({a} {d.pick(COMPARE)} {b})")
            elif roll < 11:
                self.line(depth, f"for (local i = 0; i < {a}; i++)")
            else:
                self.line(depth, f"while ({self.call()} {d.pick(COMPARE)} {b})")
            self.line(depth, "{")
            self.block(depth + 1, d.between(1, 5))
            self.line(depth, "}")
            if roll < 10 and d.percent(40):
                self.line(depth, "else")
                self.line(depth, "{")
                self.block(depth + 1, d.between(1, 4))
                self.line(depth, "}")


def script_function(d):
    variables = [camel(d) if d.percent(30) else d.pick(NOUNS) for _ in range(d.between(4, 8))]
    s = Script(d, variables, "\t" if d.percent(80) else "    ")
    params = ", ".join(variables[: d.below(4)])
    s.line(0, f"// {d.pick(VERBS)} the {d.pick(NOUNS)} {d.pick(TAILS)}.")
    s.line(0, f"function {camel(d)}({params})")
    s.line(0, "{")
    s.block(1, d.between(3, 10))
    s.line(1, f"return {s.value()};")
    s.line(0, "}")
    s.line(0, "")
    return "".join(s.lines).encode()


def script_text(d, size):
    return upto(size, lambda: script_function(d))


# ---------------------------------------------------------------------------------------
# prose

COMMON = ("the of and to a in that was he it his for with as had on be at by not this "
          "but from they which or she her you an were all one we their there been would "
          "when so if what no out who them up more into said some time could only then "
          "its than other about my over any these very may after first like now our two "
          "old made before did many such where must over most way down should because "
          "each long still great little through back years people under men never well "
          "own here might those while new away last make found even being know thought "
          "river road town night day house water hill voice field door morning work "
          "hand eyes light war").split()
# The prose's own words are made of more syllables than names are.
PROSE_SYLLABLES = [c + v for c in "bcdfghklmnprstvwz" for v in "aeiou"] + ["th", "st", "er", "an"]
PROSE_WORDS = 600
FRESH_WORDS = 1  # in a hundred: words made on the spot, as names and rare words are


def vocabulary(d):
    """Common words first, invented ones after, drawn with weights falling as 1/rank."""
    words = list(COMMON)
    seen = set(words)
    while len(words) < PROSE_WORDS:
        candidate = word(d, 1, 3, PROSE_SYLLABLES)
        if candidate not in seen:
            seen.add(candidate)
            words.append(candidate)
    return Ranked(words, [1000000 // (rank + 3) for rank in range(len(words))])


def sentence(d, words):
    parts = []
    for index in range(d.between(4, 22)):
        w = word(d, 2, 4, PROSE_SYLLABLES) if d.percent(FRESH_WORDS) else words.draw(d)
        if d.percent(4):
            w = w.capitalize()  # a name
        if index and d.percent(8):
            parts[-1] += ","
        parts.append(w)
    parts[0] = parts[0].capitalize()
    return " ".join(parts) + d.pick(".......?!")


def wrap(text, width=76):
    lines = []
    line = ""
    for w in text.split(" "):
        if line and len(line) + 1 + len(w) > width:
            lines.append(line)
            line = w
        else:
            line = line + " " + w if line else w
    lines.append(line)
    return CRLF.join(lines) + CRLF


def prose_text(d, size):
    words = vocabulary(d)
    title = " ".join(words.items[len(COMMON) + d.below(200)] for _ in range(4)).upper()
    head = f"    THE BOOK OF {title}{CRLF}{CRLF}    In {d.between(5, 20)} parts{CRLF}{CRLF}"

    def paragraph():
        text = " ".join(sentence(d, words) for _ in range(d.between(2, 8)))
        chapter = f"{CRLF}    Chapter {d.below(100)}{CRLF}{CRLF}" if d.percent(3) else ""
        return (chapter + wrap(text) + CRLF).encode()

    return (head.encode() + upto(size, paragraph))[:size]


# ---------------------------------------------------------------------------------------
# geometry: model records

def f32s(values):
    return struct.pack(f"<{len(values)}f", *values)


def u32s(values):
    return struct.pack(f"<{len(values)}I", *values)


# Positions and heights lie up to JITTER - 1 256ths off their grid.
JITTER = 2


def grid_mesh(d, columns, rows, step, origin, bumps):
    """Positions, normals and UVs of a surface over a grid, and its triangle indices."""
    ox, oy, oz = origin
    heights = [[sum(a * ((column - cx) * (column - cx) + (row - cy) * (row - cy))
                    for a, cx, cy in bumps) // 64 + d.below(JITTER)
                for column in range(columns + 1)] for row in range(rows + 1)]
    positions, normals, uvs = [], [], []
    for row in range(rows):
        for column in range(columns):
            height = heights[row][column]
            positions += (ox + (column * step + d.below(JITTER)) / 256, oy + height / 256,
                          oz + (row * step + d.below(JITTER)) / 256)
            # The normal of the slope towards the next row and column, to 1/256.
            gx = height - heights[row][column + 1]
            gz = height - heights[row + 1][column]
            length = math.sqrt(gx * gx + step * step + gz * gz)
            normals += (int(gx / length * 256) / 256, int(step / length * 256) / 256,
                        int(gz / length * 256) / 256)
            uvs += (column / (columns - 1), row / (rows - 1))
    return positions, normals, uvs, grid_faces(columns, rows)


def grid_faces(columns, rows):
    """Two triangles per grid square, as vertex indices."""
    faces = []
    for row in range(rows - 1):
        for column in range(columns - 1):
            v = row * columns + column
            faces += (v, v + 1, v + columns, v + 1, v + columns + 1, v + columns)
    return faces


def every_second(values, width, columns, rows):
    """The vertices (width floats each) of every second row and column."""
    out = []
    for row in range(0, rows, 2):
        for column in range(0, columns, 2):
            v = (row * columns + column) * width
            out += values[v:v + width]
    return out


def new_mesh(d):
    columns, rows = d.between(12, 48), d.between(12, 48)
    step = d.between(16, 160)
    origin = tuple(d.between(-20000, 20000) / 256 for _ in range(3))
    bumps = [(d.between(-8, 8), d.below(columns), d.below(rows)) for _ in range(d.between(1, 3))]
    return (columns, rows) + grid_mesh(d, columns, rows, step, origin, bumps)


def geometry_record(d, mesh):
    columns, rows, positions, normals, uvs, faces = mesh
    name = word(d).encode()
    parts = [b"MESH", struct.pack("<III", columns * rows, len(faces) // 3, 3),
             name.ljust(32, b"\0"), f32s(positions), f32s(normals), f32s(uvs), u32s(faces),
             b"textures\\" + name + b".img\0"]
    for _ in range(2):  # lower levels of detail: every second vertex of the level above
        positions = every_second(positions, 3, columns, rows)
        normals = every_second(normals, 3, columns, rows)
        uvs = every_second(uvs, 2, columns, rows)
        columns, rows = (columns + 1) // 2, (rows + 1) // 2
        faces = grid_faces(columns, rows)
        parts += [b"LOD\0", struct.pack("<II", columns * rows, len(faces) // 3),
                  f32s(positions), f32s(normals), f32s(uvs), u32s(faces)]
    return b"".join(parts)


def geometry_data(d, size):
    return upto(size, lambda: geometry_record(d, new_mesh(d)))


# ---------------------------------------------------------------------------------------
# image: pictures

CELL = 32
TOP_SPREAD = 32


def smooth_plane(d, width, height, low, high, slope):
    """Rows of values between low and high, bilinear between corners every CELL pixels
    that differ from their neighbours by at most slope (integer arithmetic throughout)."""
    cells_x = width // CELL + 2
    corners = []
    base = d.between(low + TOP_SPREAD, high - TOP_SPREAD)
    above = [base + d.between(-TOP_SPREAD, TOP_SPREAD) for _ in range(cells_x)]
    for _ in range(height // CELL + 2):
        row = []
        for x in range(cells_x):
            value = (above[x] + (row[-1] if row else above[x])) // 2
            row.append(min(high, max(low, value + d.between(-slope, slope))))
        corners.append(row)
        above = row
    ramps = [(CELL - t, t) for t in range(CELL)]
    rows = []
    for y in range(height):
        top, bottom = corners[y // CELL], corners[y // CELL + 1]
        wy = y % CELL
        edge = [(a * (CELL - wy) + b * wy) for a, b in zip(top, bottom)]
        row = []
        for cell in range(width // CELL + 1):
            a, b = edge[cell], edge[cell + 1]
            row += [(a * p + b * q) >> 10 for p, q in ramps]
        rows.append(row[:width])
    return rows


NOISE_LEVELS = [0, 2, 2, 3, 4]
SLOPES = [4, 8, 16, 32]
NOISE = [bytes(b % (level + 1) for b in range(256)) for level in range(8)]


def noisy(d, row, level):
    """row plus noise of 0..level in each value."""
    return bytes(map(operator.add, row, d.raw(len(row)).translate(NOISE[level])))


def channels(d, width, height, count):
    levels = [d.pick(NOISE_LEVELS) for _ in range(count)]
    slope = d.pick(SLOPES)
    planes = [smooth_plane(d, width, height, 16, 240, slope) for _ in range(count)]
    flat = d.percent(30)
    out = bytearray()
    for y in range(height):
        row = bytearray(width * count)
        for c in range(count):
            row[c::count] = noisy(d, planes[c][y], levels[c])
        if flat and y % 64 >= 40:  # a flat area of one colour
            row[: width // 3 * count] = row[:count] * (width // 3)
        out += row
    return out


def paletted(d, width, height):
    palette = d.raw(768)
    tile = [d.raw(16) for _ in range(16)]
    out = bytearray(palette)
    for y in range(height):
        pattern = tile[y % 16]
        row = bytearray(pattern * (width // 16))
        for _ in range(width // 64):
            row[d.below(width)] = d.below(256)
        out += row
    return out


def image_record(d):
    width, height = 1 << d.between(6, 9), 1 << d.between(6, 8)
    roll = d.below(10)
    if roll < 3:
        form, pixels = 1, channels(d, width, height, 1)
    elif roll < 6:
        form, pixels = 3, channels(d, width, height, 3)
    elif roll < 8:
        form, pixels = 4, channels(d, width, height, 3)
        rgba = bytearray(width * height * 4)
        for c in range(3):
            rgba[c::4] = pixels[c::3]
        rgba[3::4] = bytes([255 - d.below(2) * 128]) * (width * height)
        pixels = rgba
    else:
        form, pixels = 8, paletted(d, width, height)
    return b"PIC\0" + struct.pack("<HHI", width, height, form) + bytes(pixels)


def image_data(d, size):
    return upto(size, lambda: image_record(d))


# ---------------------------------------------------------------------------------------
# random, sparse, runs

PAGE = 4096


def random_data(d, size):
    def page():
        return (b"PAGE" + struct.pack("<III", page.number, PAGE, d.below(1 << 16))
                + d.raw(PAGE - 16))
    page.number = 0

    def next_page():
        page.number += 1
        return page()

    return upto(size, next_page)


RECORD = 64


def sparse_data(d, size):
    records = (size + RECORD - 1) // RECORD
    out = bytearray(records * RECORD)
    out[0:8] = b"TABLE\0\0\0"
    index = 1
    ident = 0
    while index < records:
        if d.percent(2):  # a gap of empty records
            index += d.between(16, 200)
            continue
        at = index * RECORD
        ident += d.between(1, 3)
        struct.pack_into("<IHH", out, at, ident, d.below(6), d.below(300))
        if d.percent(30):
            struct.pack_into("<I", out, at + 24, d.below(1 << 20))
        if d.percent(10):
            struct.pack_into("<f", out, at + 40, d.below(4096) / 16)
        index += 1
    return bytes(out[:size])


RUN_BYTES = Ranked([b" ", b"\0", b"\xff", b"-", b"=", b".", b"*", b"\t"],
                   [40, 35, 6, 5, 4, 4, 3, 3])


def runs_data(d, size):
    def piece():
        octave = d.between(4, 15)
        length = max(20, (1 << octave) + d.below(1 << octave))
        run = RUN_BYTES.draw(d) * length
        if d.percent(50):
            return run + f"{CRLF}section {d.below(10000)} ends{CRLF}".encode()
        return run + d.raw(d.between(1, 12))

    return upto(size, piece)


# ---------------------------------------------------------------------------------------
# mixed, and the kinds together

# Binary kinds two or three times as often as text, as in a folder of models, pictures
# and sounds.
MIXED_DECK = (["config", "script", "prose", "sparse", "runs"] + ["geometry", "random"] * 2
              + ["image"] * 3)


def mixed_data(d, size):
    """Blocks of the other kinds after a first one of geometry, in rounds of the deck
    shuffled. Every second round gives each card the size that makes its two blocks
    272 KiB together, so that the kinds' shares vary little from seed to seed."""
    pieces = [geometry_data(d, d.between(16 * KIB, 256 * KIB))]
    length = len(pieces[0])
    rounds = 0
    while length < size:
        if rounds % 2 == 0:
            sizes = [d.between(16 * KIB, 256 * KIB) for _ in MIXED_DECK]
        else:
            sizes = [272 * KIB - block for block in sizes]
        rounds += 1
        cards = list(zip(MIXED_DECK, sizes))
        shuffle(d, cards)
        for kind, block in cards:
            if length < size:
                pieces.append(MAKERS[kind](d, block))
                length += block
    return b"".join(pieces)[:size]


MAKERS = {
    "config": config_text,
    "script": script_text,
    "prose": prose_text,
    "geometry": geometry_data,
    "image": image_data,
    "random": random_data,
    "sparse": sparse_data,
    "runs": runs_data,
    "mixed": mixed_data,
}


def make(seed, name, kind, size):
    """size bytes of one kind, drawn from the stream that seed and name select."""
    data = MAKERS[kind](Draw(seed, name), size)
    assert len(data) == size
    if kind in TEXT_KINDS:
        assert b"\0" not in data
        return data
    return data[:4095].replace(b" ", b"!") + data[4095:]


# ---------------------------------------------------------------------------------------
# The tree

# Per top folder: (extension, kind or kinds to pick from, number of files at full scale).
TREE_FOLDERS = [
    ("config", [(".cfg", "config", 300), (".txt", "config", 60)]),
    ("missions", [(".txt", "config", 200), (".scr", "script", 80), (".jpg", "random", 20)]),
    ("scripts", [(".scr", "script", 194), (".txt", "prose", 20)]),
    ("text", [(".txt", "prose", 330)]),
    ("models", [(".mesh", "geometry", 365), (".img", "image", 40)]),
    ("textures", [(".img", "image", 280), (".jpg", "random", 110)]),
    ("sound", [(".wss", "random", 264), (".ogg", "random", 300)]),
    ("music", [(".ogg", "random", 502)]),
    ("data", [(".dat", "sparse", 173), (".bin", "random|sparse", 83), (".cfg", "config", 60)]),
    ("ui", [(".img", "image", 46), (".jpg", "random", 40), (".cfg", "config", 137),
            (".txt", "prose", 52)]),
]
# Files per size octave (1-2 KiB, 2-4 KiB, ... 512 KiB-1 MiB), in a thousand.
OCTAVE_SHARES = [242, 244, 199, 134, 88, 46, 25, 12, 7, 3]


def file_sizes(d, counts):
    """Sizes for groups of files, counts[g] in group g. The octaves come in fixed shares of
    all the files and are dealt to the groups in proportion to their counts (the largest
    to the groups' first files), so that neither the total nor a group's bytes vary much."""
    total = sum(counts)
    octaves = []
    for octave, share in enumerate(OCTAVE_SHARES):
        octaves += [octave] * ((total * share + 500) // 1000)
    octaves = ([0] * total + octaves)[-total:]
    turns = sorted((Fraction(2 * k + 1, 2 * count), group)
                   for group, count in enumerate(counts) for k in range(count))
    sizes = [[] for _ in counts]
    for (_, group), octave in zip(turns, reversed(octaves)):
        sizes[group].append((KIB << octave) + d.below(KIB << octave))
    return sizes


def unique_name(d, taken, stem_maker, extension):
    while True:
        name = stem_maker() + extension
        if d.percent(5):
            name = name.upper()
        if name.lower() not in taken:
            taken.add(name.lower())
            return name


def folder_names(d, top):
    """The folders under one top folder, as paths relative to the tree."""
    taken = set()
    folders = [top]
    for _ in range(d.between(3, 6)):
        middle = top + "/" + unique_name(d, taken, lambda: word(d).capitalize()
                                         if d.percent(40) else f"{word(d)}_{d.below(10)}", "")
        folders.append(middle)
        inner = set()
        for _ in range(d.between(1, 4) if d.percent(60) else 0):
            folders.append(middle + "/" + unique_name(d, inner, lambda: word(d), ""))
    return folders


def tree_plan(seed, scale):
    """(relative path, kind, size) of every file, and the empty folders."""
    d = Draw(seed, "tree")
    groups = []
    for top, kinds in TREE_FOLDERS:
        folders = folder_names(d, top)
        groups += [(folders, extension, kind, max(1, count // scale))
                   for extension, kind, count in kinds]
    taken = {}
    files = [("README", "prose", 3 * KIB)]
    for (folders, extension, kind, _), sizes in zip(groups, file_sizes(d, [g[3] for g in groups])):
        for size in sizes:
            folder = d.pick(folders)
            name = unique_name(d, taken.setdefault(folder, set()), lambda: word(d), extension)
            files.append((folder + "/" + name, d.pick(kind.split("|")), size))
    for index in range(6):
        path, kind, _ = files[1 + d.below(len(files) - 1)]
        files.append((os.path.dirname(path) + f"/flag{index}.txt", "config", 1))
    empty = ["empty/inner", "data/empty", "ui/empty"]
    return files, empty


# ---------------------------------------------------------------------------------------

def write_file(root, relative, data, manifest):
    path = os.path.join(root, *relative.split("/"))
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    manifest.append(f"{len(data)} {hashlib.sha256(data).hexdigest()} {relative}\n")


def write_manifest(path, manifest):
    total = sum(int(line.split(" ", 1)[0]) for line in manifest)
    with open(path, "w", encoding="ascii", newline="\n") as f:
        f.write("# size sha256 path\n")
        f.writelines(manifest)
        f.write(f"# {len(manifest)} files, {total} bytes\n")
    return total


def make_flat(root, seed, scale):
    manifest = []
    for name, kind, size in FLAT_FILES:
        write_file(root, name, make(seed, name, kind, size // scale), manifest)
    return len(manifest), write_manifest(os.path.join(root, "MANIFEST.txt"), manifest)


def make_tree(root, seed, scale):
    files, empty = tree_plan(seed, scale)
    manifest = []
    for relative, kind, size in files:
        data = b"1" if size == 1 else make(seed, "tree/" + relative, kind, size)
        write_file(root, relative, data, manifest)
    for relative in empty:
        os.makedirs(os.path.join(root, *relative.split("/")), exist_ok=True)
    return len(manifest), write_manifest(os.path.join(root, ".manifest.txt"), manifest)


def main():
    parser = argparse.ArgumentParser(
        usage=__doc__.splitlines()[0].replace("make_corpus.py", "%(prog)s"),
        description="\n".join(__doc__.splitlines()[2:]),
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("outdir")
    parser.add_argument("--small", action="store_true", help="1/16 of the size")
    parser.add_argument("--tree", action="store_true", help="a folder tree of files")
    parser.add_argument("--seed", type=int, default=DEFAULT_SEED)
    args = parser.parse_args()
    if sys.version_info < (3, 9):
        sys.exit("make_corpus.py needs Python 3.9 or later")
    start = time.perf_counter()
    os.makedirs(args.outdir, exist_ok=True)
    scale = 16 if args.small else 1
    count, total = (make_tree if args.tree else make_flat)(args.outdir, args.seed, scale)
    print(f"{args.outdir}: {count} files, {total} bytes "
          f"({time.perf_counter() - start:.1f} s)")


if __name__ == "__main__":
    main()
