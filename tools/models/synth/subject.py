"""Head-and-shoulders people: silhouettes with hair, strands, skin and clothing texture."""
import colorsys

import numpy as np
from scipy import ndimage

from . import photos
from .noise import fractal_field, oriented_noise
from .strokes import draw_polyline, random_curve


def skin_tone(rng):
    v = rng.uniform(0.22, 0.92)
    h = rng.uniform(0.03, 0.09)
    s = rng.uniform(0.2, 0.55) * (1.1 - 0.4 * v)
    return np.array(colorsys.hsv_to_rgb(h, s, v), np.float32)


def hair_colour(rng):
    kind = rng.choice(["black", "brown", "blond", "red", "grey"], p=[0.3, 0.35, 0.15, 0.08, 0.12])
    table = {"black": (0.06, 0.05, 0.05), "brown": (0.25, 0.16, 0.1), "blond": (0.7, 0.58, 0.38),
             "red": (0.5, 0.2, 0.1), "grey": (0.6, 0.6, 0.6)}
    return np.clip(np.array(table[kind], np.float32) * rng.uniform(0.7, 1.25), 0, 1)


def cloth_colour(rng):
    return np.array(colorsys.hsv_to_rgb(rng.random(), rng.uniform(0, 0.8), rng.uniform(0.05, 0.9)),
                    np.float32)


class Box:
    """Local window of the picture with coordinate grids, so people cost only their own area."""

    def __init__(self, h, w, y0, y1, x0, x1):
        self.y0, self.y1 = max(0, int(y0)), min(h, int(y1))
        self.x0, self.x1 = max(0, int(x0)), min(w, int(x1))
        self.shape = (max(0, self.y1 - self.y0), max(0, self.x1 - self.x0))
        yy, xx = np.mgrid[self.y0:self.y1, self.x0:self.x1]
        self.yy, self.xx = yy.astype(np.float32), xx.astype(np.float32)

    @property
    def empty(self):
        return self.shape[0] < 2 or self.shape[1] < 2


def soft(dist, edge):
    """Coverage from a signed distance in pixels (negative inside)."""
    return np.clip(0.5 - dist / max(edge, 0.5), 0.0, 1.0)


def ellipse_dist(box, cy, cx, ry, rx, tilt=0.0):
    c, s = np.cos(tilt), np.sin(tilt)
    dy, dx = box.yy - cy, box.xx - cx
    u, v = c * dx + s * dy, -s * dx + c * dy
    r = np.sqrt((u / rx) ** 2 + (v / ry) ** 2)
    return (r - 1.0) * min(rx, ry)


class Person:
    def __init__(self, rng, h, w, head):
        self.rng, self.h, self.w = rng, h, w
        self.ry = head / 2
        self.rx = self.ry * rng.uniform(0.68, 0.8)
        self.cx = rng.uniform(-0.05, 1.05) * w if rng.random() < 0.3 else rng.uniform(0.25, 0.75) * w
        self.cy = rng.uniform(0.18, 0.55) * h
        self.tilt = rng.normal(0, 0.08)
        self.shoulder = self.rx * rng.uniform(2.2, 3.4)
        self.skin = skin_tone(rng)
        self.hair = hair_colour(rng)
        self.style = rng.choice(["short", "long", "bun", "bald"], p=[0.4, 0.4, 0.1, 0.1])
        self.box = Box(h, w, self.cy - 2.2 * self.ry, h, self.cx - 1.3 * self.shoulder,
                       self.cx + 1.3 * self.shoulder)

    # -- shapes -------------------------------------------------------------------------
    def torso_cover(self):
        """Sloping shoulders that turn into arms, cut by the frame; and the neck."""
        b, rng = self.box, self.rng
        top = self.cy + self.ry * rng.uniform(1.2, 1.45)
        drop = self.ry * rng.uniform(0.3, 0.6)
        t = np.abs(b.xx - self.cx) / self.shoulder
        bend = np.maximum(0, t - 0.72)
        line = top + drop * (0.5 * t ** 2 + 40 * bend ** 2)
        slope = drop * (t + 80 * bend) / self.shoulder
        dist = (line - b.yy) / np.sqrt(1 + slope ** 2)
        widen = 0.08 * np.maximum(0, b.yy - top) / self.ry
        dist = np.maximum(dist, (t - 1 - widen) * self.shoulder)
        neck_w = self.rx * rng.uniform(0.42, 0.55) * (1 + 0.15 * np.clip((b.yy - self.cy) / self.ry - 0.8, 0, 1))
        neck_mid, neck_half = (top + self.cy) / 2, (top - self.cy) / 2 + 2
        neck = np.maximum(np.abs(b.xx - self.cx) - neck_w, np.abs(b.yy - neck_mid) - neck_half)
        return soft(np.minimum(dist, neck), 1.2), neck

    def hair_cover(self):
        b, rng = self.box, self.rng
        if self.style == "bald":
            return np.zeros(b.shape, np.float32)
        grow = rng.uniform(1.05, 1.2)
        d = ellipse_dist(b, self.cy - 0.1 * self.ry, self.cx, self.ry * grow, self.rx * grow * 1.05, self.tilt)
        if self.style == "long":
            length = self.ry * rng.uniform(1.2, 2.6)
            width = self.rx * rng.uniform(1.1, 1.45)
            mid = self.cy + length / 2 - 0.2 * self.ry
            side = np.maximum(np.abs(b.xx - self.cx) - width, np.abs(b.yy - mid) - length / 2)
            d = np.minimum(d, side)
        if self.style == "bun":
            d = np.minimum(d, ellipse_dist(b, self.cy - self.ry * 1.15, self.cx + rng.normal(0, 0.2) * self.rx,
                                           self.ry * 0.35, self.rx * 0.45))
        frizz = rng.uniform(1, 6) * fractal_field(rng, *b.shape, rng.uniform(8, 40), 3)
        face = ellipse_dist(b, self.cy + 0.12 * self.ry, self.cx, self.ry * 0.9, self.rx * 0.88, self.tilt)
        fringe = rng.uniform(0.4, 0.8) * self.ry
        face = np.where(b.yy < self.cy - fringe, np.maximum(face, self.cy - fringe - b.yy), face)
        cover = soft(d + frizz, rng.uniform(1.0, 3.0)) * (1 - soft(face, 1.5))
        return cover

    def strands(self, hair):
        """Loose single hairs leaving the hair outline: they make soft mask edges."""
        b, rng = self.box, self.rng
        cover = np.zeros(b.shape, np.float32)
        if not hair.any():
            return cover
        edge = np.argwhere((hair > 0.2) & (hair < 0.8))
        if len(edge) == 0:
            return cover
        for _ in range(rng.integers(0, 40)):
            y, x = edge[rng.integers(len(edge))]
            away = np.arctan2(x + b.x0 - self.cx, y + b.y0 - self.cy)
            pts = random_curve(rng, np.array([y, x], np.float32), rng.uniform(0.1, 0.5) * self.ry,
                               away + rng.normal(0, 0.5), rng.uniform(0.005, 0.05))
            draw_polyline(cover, pts, rng.uniform(0.4, 1.3), rng.uniform(0.3, 0.9))
        return cover

    # -- fills --------------------------------------------------------------------------
    def cloth_fill(self):
        rng, shape = self.rng, self.box.shape
        if rng.random() < 0.7:
            name = rng.choice(photos.names_for("cloth"))
            tex = photos.recolour(rng, photos.random_crop(rng, name, *shape), cloth_colour(rng))
        else:
            tex = cloth_colour(rng) * (1 + 0.1 * fractal_field(rng, *shape, 60, 4)[..., None])
        coarse = (shape[0] // 4 + 1, shape[1] // 4 + 1)
        folds = 1 + rng.uniform(0, 0.25) * oriented_noise(rng, *coarse, 12, 3, rng.normal(0, 0.4))
        folds = np.kron(folds, np.ones((4, 4), np.float32))[:shape[0], :shape[1]]
        return np.clip(tex * folds[..., None], 0, 1)

    def hair_fill(self):
        rng, shape = self.rng, self.box.shape
        streak = oriented_noise(rng, *shape, rng.uniform(6, 20), rng.uniform(0.6, 1.2), rng.normal(0, 0.3))
        base = self.hair * (1 + rng.uniform(0.15, 0.4) * streak[..., None])
        if rng.random() < 0.5:
            name = rng.choice(photos.names_for("hair"))
            fur = photos.recolour(rng, photos.random_crop(rng, name, *shape), self.hair, (0.3, 0.8))
            base = 0.5 * base + 0.5 * fur
        return np.clip(base, 0, 1)

    def skin_fill(self):
        """Skin with lighting, pores, freckles, features and catchlights: detail to keep."""
        b, rng = self.box, self.rng
        dy, dx = (b.yy - self.cy) / self.ry, (b.xx - self.cx) / self.rx
        nz = np.sqrt(np.clip(1 - dx ** 2 - dy ** 2, 0.05, 1))
        lx, ly = rng.normal(0, 0.5), rng.normal(-0.3, 0.3)
        shade = np.clip(0.55 + 0.45 * (nz + lx * dx + ly * dy) / np.sqrt(1 + lx ** 2 + ly ** 2), 0.3, 1.2)
        if rng.random() < 0.5:
            face = photos.face_texture(rng, int(2 * self.ry), int(2 * self.rx))
            skin = self.paste_face(face)
        else:
            skin = np.broadcast_to(self.skin, b.shape + (3,)).copy()
            self.draw_features(skin)
        skin = skin * shade[..., None]
        pores = rng.uniform(0.004, 0.02) * ndimage.gaussian_filter(rng.standard_normal(b.shape), 0.6)
        skin = skin * (1 + pores[..., None] / 0.3)
        self.freckles_and_highlights(skin)
        return np.clip(skin, 0, 1).astype(np.float32)

    def paste_face(self, face):
        b = self.box
        skin = np.broadcast_to(self.skin, b.shape + (3,)).copy()
        top, left = int(self.cy - self.ry) - b.y0, int(self.cx - self.rx) - b.x0
        fh, fw = face.shape[:2]
        ys, xs = slice(max(0, top), min(b.shape[0], top + fh)), slice(max(0, left), min(b.shape[1], left + fw))
        fy, fx = slice(ys.start - top, ys.stop - top), slice(xs.start - left, xs.stop - left)
        # shift the photograph's own skin colour towards this person's tone
        tone = self.skin / np.maximum(face[fh // 3:2 * fh // 3, fw // 4:3 * fw // 4].mean((0, 1)), 1e-3)
        skin[ys, xs] = np.clip(face[fy, fx] * np.clip(tone, 0.3, 2.5), 0, 1)
        return skin

    def draw_features(self, skin):
        b, rng = self.box, self.rng
        eye_y = self.cy - 0.05 * self.ry
        iris = colorsys.hsv_to_rgb(rng.uniform(0.05, 0.6), rng.uniform(0.3, 0.8), rng.uniform(0.1, 0.5))
        iris = np.array(iris, np.float32)
        for side in (-1, 1):
            ex = self.cx + side * 0.38 * self.rx
            white = soft(ellipse_dist(b, eye_y, ex, 0.07 * self.ry, 0.2 * self.rx), 1.0)
            skin[:] = skin * (1 - white[..., None]) + np.array([0.9, 0.88, 0.85]) * white[..., None]
            ir = soft(ellipse_dist(b, eye_y, ex, 0.065 * self.ry, 0.065 * self.ry), 1.0) * white
            skin[:] = skin * (1 - ir[..., None]) + iris * ir[..., None]
            brow = ellipse_dist(b, eye_y - 0.2 * self.ry, ex, 0.035 * self.ry, 0.25 * self.rx, side * 0.15)
            brow = soft(brow, 2.0)
            skin[:] = skin * (1 - 0.8 * brow[..., None]) + self.hair * 0.8 * brow[..., None]
            catch = soft(ellipse_dist(b, eye_y - 0.02 * self.ry, ex + 0.02 * self.rx, 1.2, 1.2), 1.0)
            skin[:] = np.maximum(skin, catch[..., None] * 0.97)
        mouth = soft(ellipse_dist(b, self.cy + 0.5 * self.ry, self.cx, 0.07 * self.ry, 0.3 * self.rx), 2.0)
        lips = self.skin * np.array([1.05, 0.7, 0.7], np.float32)
        skin[:] = skin * (1 - mouth[..., None]) + lips * mouth[..., None]
        nose = ellipse_dist(b, self.cy + 0.25 * self.ry, self.cx + 0.08 * self.rx, 0.12 * self.ry, 0.05 * self.rx)
        nose = soft(nose, 4.0)
        skin *= 1 - 0.12 * nose[..., None]

    def freckles_and_highlights(self, skin):
        """Dark and light specks on skin: they look like dust but belong to the person."""
        b, rng = self.box, self.rng
        inside = np.argwhere(ellipse_dist(b, self.cy, self.cx, self.ry, self.rx) < -3)
        if len(inside) == 0:
            return
        for _ in range(rng.integers(0, 25)):
            y, x = inside[rng.integers(len(inside))]
            r = rng.uniform(0.6, 2.5)
            ys, xs = slice(max(0, y - 6), y + 7), slice(max(0, x - 6), x + 7)
            d = np.hypot(b.yy[ys, xs] - b.yy[y, x], b.xx[ys, xs] - b.xx[y, x]) - r
            a = soft(d, rng.uniform(0.8, 2.0))[..., None] * rng.uniform(0.2, 0.7)
            gain = 1.6 if rng.random() < 0.3 else rng.uniform(0.45, 0.8)  # highlight or freckle
            patch = skin[ys, xs]
            patch[:] = patch * (1 - a) + np.minimum(patch * gain, 1) * a

    # -- assembly -----------------------------------------------------------------------
    def render(self):
        """Colour premultiplied by coverage, and the coverage, inside the box."""
        b = self.box
        torso, neck_dist = self.torso_cover()
        head = soft(ellipse_dist(b, self.cy, self.cx, self.ry, self.rx, self.tilt), 1.2)
        hair = self.hair_cover()
        strands = self.strands(hair)
        skin = self.skin_fill()
        cloth = self.cloth_fill()
        neck = soft(neck_dist, 1.2)
        rgb = cloth * torso[..., None]
        alpha = torso.copy()
        layers = ((neck, skin * 0.85), (head, skin), (hair, self.hair_fill()), (strands, self.hair_fill()))
        for cover, fill in layers:
            rgb = rgb * (1 - cover[..., None]) + fill * cover[..., None]
            alpha = alpha * (1 - cover) + cover
        return rgb.astype(np.float32), alpha.astype(np.float32)


def make_subjects(rng, h, w):
    """People composited front to back: colour premultiplied by coverage, and the coverage."""
    rgb = np.zeros((h, w, 3), np.float32)
    alpha = np.zeros((h, w), np.float32)
    count = rng.choice([0, 1, 2, 3], p=[0.06, 0.64, 0.22, 0.08])
    base = rng.uniform(0.2, 0.45) * h if count <= 1 else rng.uniform(0.12, 0.3) * h
    for _ in range(count):
        person = Person(rng, h, w, base * rng.uniform(0.85, 1.15))
        if person.box.empty:
            continue
        p_rgb, p_a = person.render()
        ys, xs = slice(person.box.y0, person.box.y1), slice(person.box.x0, person.box.x1)
        rgb[ys, xs] = rgb[ys, xs] * (1 - p_a[..., None]) + p_rgb
        alpha[ys, xs] = alpha[ys, xs] * (1 - p_a) + p_a
    return rgb, alpha
