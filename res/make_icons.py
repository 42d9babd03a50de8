#!/usr/bin/env python3
# Draws the program icon (a shield with a "V") at each size of the icon group and writes
# res/icon-<size>.png. Run it by hand when the artwork changes; the build uses the committed PNGs.
import os
import struct
import zlib

OUTLINE = (11, 42, 85)
FILL_TOP = (42, 111, 209)
FILL_BOTTOM = (20, 163, 168)
RIM = (150, 215, 245)
V_TOP = (255, 255, 255)
V_BOTTOM = (214, 236, 250)
CLEAR = (0, 0, 0, 0.0)


def mix(a, b, t):
    return tuple(x + (y - x) * t for x, y in zip(a, b))


def fill(x, y, size):
    # Blue at the top to teal at the tip; the left half catches a little more light.
    c = mix(FILL_TOP, FILL_BOTTOM, min(max(y / size, 0.0), 1.0))
    return mix(c, (255, 255, 255), 0.12) if x < size / 2 else c


# 16 and 24 px are drawn pixel by pixel: o outline, f shield, w the "V".
PIXEL_ART = {
    16: [
        "..oooooooooooo..",
        ".offffffffffffo.",
        ".ofwwffffffwwfo.",
        ".ofwwffffffwwfo.",
        ".offwwffffwwffo.",
        ".offwwffffwwffo.",
        ".offfwwffwwfffo.",
        ".offfwwffwwfffo.",
        ".offffwwwwffffo.",
        ".offffwwwwffffo.",
        ".offfffwwfffffo.",
        "..offffwwffffo..",
        "...offffffffo...",
        "....offffffo....",
        ".....ooffoo.....",
        ".......oo.......",
    ],
    24: [
        "...oooooooooooooooooo...",
        "..offffffffffffffffffo..",
        "..offffffffffffffffffo..",
        "..offffffffffffffffffo..",
        "..offwwwffffffffwwwffo..",
        "..offwwwffffffffwwwffo..",
        "..offfwwwffffffwwwfffo..",
        "..offfwwwffffffwwwfffo..",
        "..offffwwwffffwwwffffo..",
        "..offffwwwffffwwwffffo..",
        "..offfffwwwffwwwfffffo..",
        "..offfffwwwffwwwfffffo..",
        "..offffffwwwwwwffffffo..",
        "..offffffwwwwwwffffffo..",
        "..offfffffwwwwfffffffo..",
        "..offfffffwwwwfffffffo..",
        "...offfffffwwfffffffo...",
        "...offfffffwwfffffffo...",
        "....offffffffffffffo....",
        ".....offffffffffffo.....",
        "......offffffffffo......",
        ".......ooffffffoo.......",
        ".........ooffoo.........",
        "...........oo...........",
    ],
}


def draw_pixel_art(size):
    rows = PIXEL_ART[size]
    assert len(rows) == size and all(len(r) == size and r == r[::-1] for r in rows)
    out = []
    for y, row in enumerate(rows):
        for x, ch in enumerate(row):
            if ch == ".":
                out.append(CLEAR)
            else:
                c = OUTLINE if ch == "o" else V_TOP if ch == "w" else fill(x + 0.5, y + 0.5, size)
                out.append((*c, 1.0))
    return out


# Larger sizes are drawn from shapes whose straight edges sit on pixel boundaries at that size.
# left/right/top: the shield's box; mid: where the sides start to curve in; tip: the point;
# corner: radius of the top corners; line: outline width; rim: light inner edge (0: none);
# v_top/v_bottom/v_left/v_width: the "V" (v_width measured across); shadow: offset of its shade.
SHAPES = {
    32: dict(left=3, right=29, top=1, mid=17, tip=31.5, corner=2, line=1, rim=0,
             v_top=7, v_bottom=23, v_left=8, v_width=5, shadow=0),
    48: dict(left=5, right=43, top=2, mid=25, tip=47, corner=3, line=2, rim=0,
             v_top=11, v_bottom=35, v_left=12, v_width=7, shadow=0),
    64: dict(left=6, right=58, top=3, mid=33, tip=62.5, corner=4, line=3, rim=1,
             v_top=14, v_bottom=46, v_left=16, v_width=9, shadow=2),
    256: dict(left=24, right=232, top=12, mid=132, tip=250, corner=16, line=10, rim=5,
              v_top=56, v_bottom=186, v_left=64, v_width=36, shadow=6),
}


def inside_shield(s, x, y, inset):
    left, right, top = s["left"] + inset, s["right"] - inset, s["top"] + inset
    half = (right - left) / 2
    centre = (left + right) / 2
    slope = (s["right"] - s["left"]) / (s["tip"] - s["mid"])  # of the sides at the tip, dx/dy
    tip = s["tip"] - inset * (1 + slope * slope) ** 0.5 / slope
    if y < top or y > tip:
        return False
    if y > s["mid"]:
        u = (y - s["mid"]) / (tip - s["mid"])
        return abs(x - centre) <= half * (1 - u * u)
    if not left <= x <= right:
        return False
    r = max(s["corner"] - inset, 0)
    if y < top + r:
        cx = left + r if x < left + r else right - r if x > right - r else x
        return (x - cx) ** 2 + (y - top - r) ** 2 <= r * r
    return True


def inside_v(s, x, y):
    # Two strokes of equal width meeting in a point on the centre line.
    centre = (s["left"] + s["right"]) / 2
    top, bottom, width = s["v_top"], s["v_bottom"], s["v_width"]
    if y < top or y > bottom:
        return False
    outer = s["v_left"] + (centre - s["v_left"]) * (y - top) / (bottom - top)
    d = abs(x - centre)
    return centre - outer - width <= d <= centre - outer if outer + width < centre else d <= centre - outer


def sample(s, size, x, y):
    if not inside_shield(s, x, y, 0):
        return CLEAR
    if not inside_shield(s, x, y, s["line"]):
        return (*OUTLINE, 1.0)
    if inside_v(s, x, y):
        return (*mix(V_TOP, V_BOTTOM, (y - s["v_top"]) / (s["v_bottom"] - s["v_top"])), 1.0)
    c = fill(x, y, size)
    if s["rim"] and not inside_shield(s, x, y, s["line"] + s["rim"]):
        c = mix(c, RIM, 0.55)
    if s["shadow"] and inside_v(s, x - s["shadow"], y - s["shadow"]):
        c = mix(c, OUTLINE, 0.35)
    return (*c, 1.0)


def draw_shapes(size, grid=6):
    s = SHAPES[size]
    out = []
    for py in range(size):
        for px in range(size):
            corners = [sample(s, size, px + dx, py + dy) for dx in (0.01, 0.99) for dy in (0.01, 0.99)]
            # Only pixels that an edge crosses are supersampled; gradients alone change too little.
            if all(c[3] == corners[0][3] and max(abs(a - b) for a, b in zip(c[:3], corners[0])) < 4
                   for c in corners):
                out.append(sample(s, size, px + 0.5, py + 0.5))
                continue
            acc = [0.0] * 4
            for i in range(grid):
                for j in range(grid):
                    r, g, b, a = sample(s, size, px + (i + 0.5) / grid, py + (j + 0.5) / grid)
                    acc = [acc[0] + r * a, acc[1] + g * a, acc[2] + b * a, acc[3] + a]
            a = acc[3]
            out.append(CLEAR if a == 0 else (acc[0] / a, acc[1] / a, acc[2] / a, a / grid ** 2))
    return out


def png(size, pixels):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    raw = bytearray()
    for y in range(size):
        raw.append(0)
        for r, g, b, a in pixels[y * size:(y + 1) * size]:
            raw += bytes(min(255, max(0, round(v))) for v in (r, g, b, a * 255))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b""))


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    for size in (16, 24, 32, 48, 64, 256):
        pixels = draw_pixel_art(size) if size in PIXEL_ART else draw_shapes(size)
        with open(os.path.join(here, f"icon-{size}.png"), "wb") as f:
            f.write(png(size, pixels))


if __name__ == "__main__":
    main()
