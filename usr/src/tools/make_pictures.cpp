// SPDX-License-Identifier: MIT
// Draws the pictures of the install tree: make_pictures OUTDIR/ FONT.ttf
// and the desktop icons: make_pictures --icons OUTDIR/
// Every picture is painted in memory, then saved as a 24-bit BMP: the client
// relies on per-surface alpha and white colour keys, which need surfaces
// without an alpha channel. Same bytes on every run: no clock, no rand().
#include <math.h>
#include <stdio.h>
#include <string.h>

#include <vector>

#include <SDL/SDL.h>
#include <SDL/SDL_ttf.h>
#include <png.h>

#include "common/varkel_pictures.h"

namespace {

struct Rgb {
  double r, g, b;
};

// Colour-keyed pictures keep hard edges (a blended edge would show as a
// halo) and never paint pure white, their transparent colour.
struct Canvas {
  int w, h;
  bool keyed;
  std::vector<Rgb> px;
};

struct Fonts {
  TTF_Font *signin, *game, *title, *label;
};

struct Tint {
  Rgb top, bottom, border, text;
};

struct Picture {
  const char *name;
  int w, h;
  bool keyed;
  int (*draw)(Canvas &c, const Fonts &f, const Picture &p);
  const char *label;
  const Tint *tint;
};

// A small generator of our own, so that textures never change.
struct Lcg {
  unsigned state;
  double Next() {
    state = state * 1664525u + 1013904223u;
    return (state >> 8) / 16777216.0;
  }
  double In(double lo, double hi) { return lo + (hi - lo) * Next(); }
};

} // namespace

static const Rgb kWhite = {255, 255, 255};
static const Rgb kBlack = {0, 0, 0};

static Rgb Mix(Rgb a, Rgb b, double t) {
  return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t};
}
static Rgb Shade(Rgb a, double f) {
  return {a.r * f, a.g * f, a.b * f};
}
static double Clamp(double v, double lo, double hi) {
  return v < lo ? lo : v > hi ? hi : v;
}

static void Blend(Canvas &c, int x, int y, Rgb col, double a) {
  if (x < 0 || y < 0 || x >= c.w || y >= c.h || a <= 0) return;
  Rgb &p = c.px[y * c.w + x];
  p = Mix(p, col, Clamp(a, 0, 1));
  if (c.keyed && p.r > 250 && p.g > 250 && p.b > 250) p = {250, 250, 250};
}

// Value noise in [0,1), smooth at the given scale.
static double Hash(int x, int y, unsigned seed) {
  unsigned h = (unsigned)x * 374761393u + (unsigned)y * 668265263u + seed * 2246822519u;
  h = (h ^ (h >> 13)) * 1274126177u;
  return ((h ^ (h >> 16)) & 0xffffff) / 16777216.0;
}
static double Noise(double x, double y, double scale, unsigned seed) {
  double fx = x / scale, fy = y / scale;
  int ix = (int)floor(fx), iy = (int)floor(fy);
  double tx = fx - ix, ty = fy - iy;
  tx = tx * tx * (3 - 2 * tx);
  ty = ty * ty * (3 - 2 * ty);
  double top = Hash(ix, iy, seed) + (Hash(ix + 1, iy, seed) - Hash(ix, iy, seed)) * tx;
  double bot = Hash(ix, iy + 1, seed) + (Hash(ix + 1, iy + 1, seed) - Hash(ix, iy + 1, seed)) * tx;
  return top + (bot - top) * ty;
}

// Paints the samples of a box that fall inside a shape, 4x4 samples a pixel
// for smooth edges and patterns, one on colour-keyed pictures.
template <class Inside, class Paint>
static void Shape(Canvas &c, double x0, double y0, double x1, double y1, Inside in, Paint paint,
                  double a = 1) {
  int n = c.keyed ? 1 : 4;
  for (int y = (int)floor(y0); y < (int)ceil(y1); y++) {
    for (int x = (int)floor(x0); x < (int)ceil(x1); x++) {
      int hits = 0;
      Rgb sum = {0, 0, 0};
      for (int s = 0; s < n * n; s++) {
        double sx = x + (s % n + 0.5) / n, sy = y + (s / n + 0.5) / n;
        if (!in(sx, sy)) continue;
        Rgb p = paint(sx, sy);
        sum = {sum.r + p.r, sum.g + p.g, sum.b + p.b};
        hits++;
      }
      if (hits) Blend(c, x, y, Shade(sum, 1.0 / hits), a * hits / (n * n));
    }
  }
}

static auto Flat(Rgb col) {
  return [col](double, double) { return col; };
}
static auto Vertical(double y0, double y1, Rgb top, Rgb bottom) {
  return [=](double, double y) { return Mix(top, bottom, Clamp((y - y0) / (y1 - y0), 0, 1)); };
}
static auto Horizontal(double x0, double x1, Rgb left, Rgb right) {
  return [=](double x, double) { return Mix(left, right, Clamp((x - x0) / (x1 - x0), 0, 1)); };
}
static auto Grainy(Rgb col, double amount, double scale, unsigned seed) {
  return
      [=](double x, double y) { return Shade(col, 1 + amount * (Noise(x, y, scale, seed) - 0.5)); };
}

static auto InRect(double x, double y, double w, double h) {
  return [=](double px, double py) { return px >= x && px < x + w && py >= y && py < y + h; };
}
static auto InEllipse(double cx, double cy, double rx, double ry) {
  return [=](double x, double y) {
    double dx = (x - cx) / rx, dy = (y - cy) / ry;
    return dx * dx + dy * dy <= 1;
  };
}
static auto InRoundRect(double x, double y, double w, double h, double r) {
  return [=](double px, double py) {
    if (px < x || py < y || px >= x + w || py >= y + h) return false;
    double dx = fmax(fmax(x + r - px, px - (x + w - r)), 0);
    double dy = fmax(fmax(y + r - py, py - (y + h - r)), 0);
    return dx * dx + dy * dy <= r * r;
  };
}
// Straight sides from the bottom up to the springing line, then a half circle.
static auto InArch(double x0, double x1, double spring, double bottom) {
  return [=](double x, double y) {
    double r = (x1 - x0) / 2;
    return x >= x0 && x < x1 && y < bottom && (y >= spring || hypot(x - x0 - r, y - spring) <= r);
  };
}
namespace {
struct Pt {
  double x, y;
};
} // namespace
static auto InPolygon(std::vector<Pt> pts) {
  return [pts](double x, double y) {
    bool inside = false;
    for (size_t i = 0, j = pts.size() - 1; i < pts.size(); j = i++) {
      if ((pts[i].y > y) != (pts[j].y > y) &&
          x < (pts[j].x - pts[i].x) * (y - pts[i].y) / (pts[j].y - pts[i].y) + pts[i].x)
        inside = !inside;
    }
    return inside;
  };
}
static auto InSegment(double x0, double y0, double x1, double y1, double width) {
  return [=](double x, double y) {
    double dx = x1 - x0, dy = y1 - y0, len = dx * dx + dy * dy;
    double t = len > 0 ? Clamp(((x - x0) * dx + (y - y0) * dy) / len, 0, 1) : 0;
    double ex = x - (x0 + t * dx), ey = y - (y0 + t * dy);
    return ex * ex + ey * ey <= width * width / 4;
  };
}

template <class Paint>
static void Rect(Canvas &c, double x, double y, double w, double h, Paint p, double a = 1) {
  Shape(c, x, y, x + w, y + h, InRect(x, y, w, h), p, a);
}
template <class Paint>
static void Ellipse(Canvas &c, double cx, double cy, double rx, double ry, Paint p, double a = 1) {
  Shape(c, cx - rx, cy - ry, cx + rx, cy + ry, InEllipse(cx, cy, rx, ry), p, a);
}
template <class Paint>
static void RoundRect(Canvas &c, double x, double y, double w, double h, double r, Paint p,
                      double a = 1) {
  Shape(c, x, y, x + w, y + h, InRoundRect(x, y, w, h, r), p, a);
}
template <class Paint>
static void Polygon(Canvas &c, const std::vector<Pt> &pts, Paint p, double a = 1) {
  double x0 = 1e9, y0 = 1e9, x1 = -1e9, y1 = -1e9;
  for (const Pt &q : pts) {
    x0 = fmin(x0, q.x), y0 = fmin(y0, q.y), x1 = fmax(x1, q.x), y1 = fmax(y1, q.y);
  }
  Shape(c, x0, y0, x1, y1, InPolygon(pts), p, a);
}
static void Line(Canvas &c, double x0, double y0, double x1, double y1, double width, Rgb col,
                 double a = 1) {
  double m = width / 2 + 1;
  Shape(c, fmin(x0, x1) - m, fmin(y0, y1) - m, fmax(x0, x1) + m, fmax(y0, y1) + m,
        InSegment(x0, y0, x1, y1, width), Flat(col), a);
}

// A soft light: strongest at the centre, gone at radius r.
static void Glow(Canvas &c, double cx, double cy, double r, Rgb col, double a) {
  for (int y = (int)(cy - r); y <= (int)(cy + r); y++)
    for (int x = (int)(cx - r); x <= (int)(cx + r); x++) {
      double d = hypot(x + 0.5 - cx, y + 0.5 - cy) / r;
      if (d < 1) Blend(c, x, y, col, a * (1 - d) * (1 - d));
    }
}

// Darkens the borders so that the eye goes to the middle.
static void Vignette(Canvas &c, double strength) {
  for (int y = 0; y < c.h; y++)
    for (int x = 0; x < c.w; x++) {
      double dx = (x - c.w / 2.0) / (c.w / 2.0), dy = (y - c.h / 2.0) / (c.h / 2.0);
      Blend(c, x, y, kBlack, strength * Clamp((dx * dx + dy * dy - 0.5) / 1.5, 0, 1));
    }
}

// Blends a text rendered by SDL_ttf; x is the left edge, or the centre when
// centred is set; fade darkens it towards its foot.
static int Text(Canvas &c, TTF_Font *font, const char *text, double x, double y, Rgb col,
                bool centred, double a = 1, double fade = 0) {
  SDL_Color white = {255, 255, 255, 0};
  SDL_Surface *s = TTF_RenderUTF8_Blended(font, text, white);
  if (!s) {
    fprintf(stderr, "TTF_RenderUTF8_Blended: %s\n", TTF_GetError());
    return 1;
  }
  int left = (int)(centred ? x - s->w / 2.0 : x);
  SDL_LockSurface(s);
  for (int j = 0; j < s->h; j++)
    for (int i = 0; i < s->w; i++) {
      Uint32 v = ((Uint32 *)((Uint8 *)s->pixels + j * s->pitch))[i];
      Uint8 r, g, b, alpha;
      SDL_GetRGBA(v, s->format, &r, &g, &b, &alpha);
      Blend(c, left + i, (int)y + j, Shade(col, 1 - fade * j / s->h), a * alpha / 255.0);
    }
  SDL_UnlockSurface(s);
  SDL_FreeSurface(s);
  return 0;
}

// A label with a dark shadow, readable over any background.
static int ShadowText(Canvas &c, TTF_Font *font, const char *text, double x, double y, Rgb col,
                      bool centred) {
  if (Text(c, font, text, x + 1, y + 1, kBlack, centred, 0.7)) return 1;
  return Text(c, font, text, x, y, col, centred);
}

// ---------------------------------------------------------------- buttons

static const Tint kWarm = {{214, 162, 92}, {128, 74, 34}, {58, 32, 14}, {255, 246, 226}};
static const Tint kBlood = {{196, 72, 60}, {104, 24, 22}, {50, 10, 10}, {255, 236, 230}};
static const Tint kCool = {{92, 132, 184}, {34, 60, 102}, {14, 24, 44}, {240, 246, 255}};
static const Tint kWater = {{70, 160, 190}, {20, 80, 110}, {8, 34, 48}, {236, 250, 255}};
static const Tint kLeaf = {{112, 168, 80}, {44, 88, 30}, {18, 38, 12}, {244, 255, 234}};

static int DrawButton(Canvas &c, const Fonts &f, const Picture &p) {
  const Tint &t = *p.tint;
  Rect(c, 0, 0, c.w, c.h, Flat(Shade(t.border, 0.6)));
  RoundRect(c, 0, 0, c.w, c.h, 6, Flat(t.border));
  RoundRect(c, 2, 2, c.w - 4, c.h - 4, 4, Vertical(2, c.h - 2, t.top, t.bottom));
  RoundRect(c, 2, 2, c.w - 4, c.h / 2.0 - 1, 4, Flat(kWhite), 0.10);
  Line(c, 6, 2.5, c.w - 6, 2.5, 1, Mix(t.top, kWhite, 0.6), 0.8);
  Line(c, 6, c.h - 2.5, c.w - 6, c.h - 2.5, 1, Shade(t.bottom, 0.7), 0.8);
  TTF_Font *font = c.w >= 200 ? f.signin : f.game; // the sign-in buttons are the wide ones
  double y = (c.h - TTF_FontHeight(font)) / 2.0;
  if (Text(c, font, p.label, c.w / 2.0 + 1, y + 1, Shade(t.border, 0.5), true, 0.8)) return 1;
  return Text(c, font, p.label, c.w / 2.0, y, t.text, true);
}

static int DrawDrink(Canvas &c, const Fonts &f, const Picture &p) {
  if (DrawButton(c, f, p)) return 1;
  Polygon(c, {{20, 7}, {14, 18}, {26, 18}}, Flat({170, 225, 250}));
  Ellipse(c, 20, 20, 6, 6.5, Flat({170, 225, 250}));
  Ellipse(c, 18, 20, 1.6, 2.5, Flat({250, 250, 250}), 0.8);
  return 0;
}

static int DrawEat(Canvas &c, const Fonts &f, const Picture &p) {
  if (DrawButton(c, f, p)) return 1;
  Ellipse(c, 17, 19, 6, 7, Flat({206, 40, 40}));
  Ellipse(c, 23, 19, 6, 7, Flat({206, 40, 40}));
  Ellipse(c, 17, 16, 2, 2.5, Flat({250, 170, 160}), 0.7);
  Line(c, 20, 12, 21, 7, 1.6, {80, 50, 20});
  Ellipse(c, 24, 8, 3.5, 1.8, Flat({90, 170, 60}));
  return 0;
}

// ------------------------------------------------------ small keyed pictures

static const Rgb kIconInk = {230, 234, 242};

// The mode buttons share a dark tile so that they read over any place.
static void Tile(Canvas &c) {
  RoundRect(c, 1, 1, 38, 38, 7, Flat({24, 30, 42}));
  RoundRect(c, 3, 3, 34, 34, 5, Vertical(3, 37, {70, 82, 104}, {38, 46, 62}));
}

static int DrawFullscreen(Canvas &c, const Fonts &, const Picture &) {
  Tile(c);
  Rect(c, 12, 13, 16, 13, Flat(kIconInk));
  Rect(c, 14, 15, 12, 9, Vertical(15, 24, {90, 150, 220}, {40, 90, 160}));
  const double corners[4][4] = {{12, 13, -1, -1}, {28, 13, 1, -1}, {12, 26, -1, 1}, {28, 26, 1, 1}};
  for (const auto &k : corners) {
    double tx = k[0] + 6 * k[2], ty = k[1] + 6 * k[3];
    Line(c, k[0] + k[2], k[1] + k[3], tx, ty, 2, {250, 210, 90});
    Polygon(c, {{tx + k[2], ty + k[3]}, {tx - 4 * k[2], ty + k[3]}, {tx + k[2], ty - 4 * k[3]}},
            Flat({250, 210, 90}));
  }
  return 0;
}

static int DrawWindow(Canvas &c, const Fonts &, const Picture &) {
  Tile(c);
  Rect(c, 8, 10, 24, 20, Flat(kIconInk));
  Rect(c, 9, 11, 22, 5, Flat({60, 120, 210}));
  Rect(c, 9, 17, 22, 12, Flat({190, 198, 212}));
  Rect(c, 27, 12, 3, 3, Flat({230, 80, 70}));
  Rect(c, 11, 19, 12, 2, Flat({120, 130, 150}));
  Rect(c, 11, 23, 16, 2, Flat({120, 130, 150}));
  return 0;
}

static void Person(Canvas &c) {
  Tile(c);
  Ellipse(c, 17, 14, 6, 6.5, Flat(kIconInk));
  Shape(c, 5, 21, 30, 34, InEllipse(17, 34, 11.5, 12), Flat(kIconInk));
}

static int DrawProfil(Canvas &c, const Fonts &, const Picture &) {
  Person(c);
  Ellipse(c, 29, 28, 8, 8, Flat({40, 150, 70}));
  Line(c, 25, 28, 28, 31.5, 2.4, {250, 250, 250});
  Line(c, 28, 31.5, 33, 24.5, 2.4, {250, 250, 250});
  return 0;
}

static int DrawNoprofil(Canvas &c, const Fonts &, const Picture &) {
  Person(c);
  Ellipse(c, 29, 28, 8, 8, Flat({196, 44, 40}));
  Line(c, 25.5, 24.5, 32.5, 31.5, 2.4, {250, 250, 250});
  Line(c, 32.5, 24.5, 25.5, 31.5, 2.4, {250, 250, 250});
  return 0;
}

static int DrawScreenshot(Canvas &c, const Fonts &, const Picture &) {
  Tile(c);
  RoundRect(c, 14, 10, 10, 6, 2, Flat({170, 176, 188}));
  RoundRect(c, 7, 14, 26, 18, 3, Vertical(14, 32, {214, 218, 226}, {150, 156, 170}));
  Ellipse(c, 20, 23, 7, 7, Flat({40, 44, 56}));
  Ellipse(c, 20, 23, 4.5, 4.5, Flat({70, 110, 170}));
  Ellipse(c, 18.5, 21.5, 1.5, 1.5, Flat({250, 250, 250}));
  Rect(c, 27, 16, 4, 3, Flat({250, 210, 90}));
  return 0;
}

static int DrawArrow(Canvas &c, bool up) {
  auto flip = [&](std::vector<Pt> pts) {
    if (!up)
      for (Pt &q : pts)
        q.y = c.h - q.y;
    return pts;
  };
  Polygon(c, flip({{12, 1}, {24, 19}, {0, 19}}), Flat({16, 52, 20}));
  Polygon(c, flip({{12, 5}, {20.5, 17}, {3.5, 17}}),
          Vertical(4, 17, {170, 240, 160}, {70, 170, 70}));
  return 0;
}
static int DrawArrowUp(Canvas &c, const Fonts &, const Picture &) {
  return DrawArrow(c, true);
}
static int DrawArrowDown(Canvas &c, const Fonts &, const Picture &) {
  return DrawArrow(c, false);
}

static int DrawCursor(Canvas &c, const Fonts &, const Picture &) {
  // The classic pointer: X outline, . fill, blank transparent; tip at (0, 0).
  // clang-format off
  static const char *const rows[] = {
      "X",
      "XX",
      "X.X",
      "X..X",
      "X...X",
      "X....X",
      "X.....X",
      "X......X",
      "X.......X",
      "X........X",
      "X.........X",
      "X..........X",
      "X......XXXXX",
      "X...X..X",
      "X..XX..X",
      "X.X  X..X",
      "XX   X..X",
      "X     X..X",
      "      X..X",
      "       X..X",
      "       X..X",
      "        XX",
  };
  // clang-format on
  for (int y = 0; y < (int)(sizeof(rows) / sizeof(rows[0])); y++)
    for (int x = 0; rows[y][x]; x++)
      if (rows[y][x] != ' ') Blend(c, x, y, rows[y][x] == 'X' ? kBlack : Rgb{250, 250, 250}, 1);
  return 0;
}

static int DrawIcon(Canvas &c, const Fonts &, const Picture &) {
  Rect(c, 0, 0, 32, 32, Flat({16, 20, 36}));
  Ellipse(c, 16, 16, 15.5, 15.5, Flat({200, 160, 60}));
  Ellipse(c, 16, 16, 13.5, 13.5, Vertical(2, 30, {60, 90, 170}, {20, 34, 80}));
  Polygon(c, {{6, 8}, {12, 8}, {16, 20}, {20, 8}, {26, 8}, {18.5, 27}, {13.5, 27}},
          Vertical(8, 27, {255, 226, 120}, {210, 150, 40}));
  return 0;
}

// ------------------------------------------------------------- the places

// Rows of stone blocks, each with its own shade.
static void StoneWall(Canvas &c, double x0, double y0, double x1, double y1, Rgb base, double bh,
                      double bw, unsigned seed) {
  Rect(c, x0, y0, x1 - x0, y1 - y0, Flat(Shade(base, 0.55)));
  Lcg g = {seed};
  for (int row = 0; y0 + row * bh < y1; row++) {
    double y = y0 + row * bh, shift = (row % 2) * bw / 2;
    for (double x = x0 - shift; x < x1; x += bw) {
      Rgb col = Shade(base, g.In(0.82, 1.1));
      Shape(c, fmax(x + 1, x0), y + 1, fmin(x + bw - 1, x1), fmin(y + bh - 1, y1),
            InRoundRect(x + 1, y + 1, bw - 2, bh - 2, 2), Grainy(col, 0.25, 3, seed + row), 1);
    }
  }
}

// The heard line (11 px, pale green, on the client's translucent black bar
// from y 240, the arrows from y 235) must read at a glance on every place: a
// dark band without detail lies behind it, its edges feathered into the
// picture.
static void MessageBand(Canvas &c, Rgb dark) {
  Rect(c, 0, 231, 640, 30, Flat(dark), 0.82);
  const double feather[3] = {0.5, 0.3, 0.14};
  for (int i = 0; i < 3; i++) {
    Rect(c, 0, 228 - 3 * i, 640, 3, Flat(dark), feather[i]);
    Rect(c, 0, 261 + 3 * i, 640, 3, Flat(dark), feather[i]);
  }
}

// Chequered tiles and a carpet running to the doorway.
static Rgb HallFloor(double x, double y) {
  double z = 180.0 / (y - 300), u = (x - 420) * z / 60, v = z * 3;
  bool dark = ((int)floor(u) + (int)floor(v)) % 2 != 0;
  Rgb col = dark ? Rgb{58, 50, 46} : Rgb{104, 92, 82};
  if (fabs(u) < 1.6) col = fabs(u) < 1.4 ? Rgb{130, 26, 30} : Rgb{200, 160, 70};
  return Shade(col, 1.1 - 0.25 * (z - 1));
}

static int DrawHall(Canvas &c, const Fonts &f, const Picture &) {
  StoneWall(c, 0, 0, 640, 400, {92, 80, 72}, 24, 48, 11);
  Rect(c, 0, 400, 640, 80, HallFloor);
  Rect(c, 0, 396, 640, 6, Flat({50, 44, 40}));
  // The great doorway behind the buttons.
  Shape(c, 290, 95, 550, 400, InArch(290, 550, 225, 400), Grainy({150, 136, 120}, 0.3, 4, 5));
  Shape(c, 305, 110, 535, 400, InArch(305, 535, 225, 400),
        Vertical(110, 400, {14, 12, 16}, {48, 38, 32}));
  for (int i = 0; i <= 8; i++) {
    double a = M_PI * i / 8;
    Line(c, 420 + 115 * cos(a), 225 - 115 * sin(a), 420 + 130 * cos(a), 225 - 130 * sin(a), 1.5,
         {70, 60, 52});
  }
  // Two pillars with banners and torches.
  const double pillars[2] = {232, 568};
  for (double px : pillars) {
    Rect(c, px, 90, 52, 310, Horizontal(px, px + 52, {150, 138, 124}, {70, 62, 56}));
    Rect(c, px - 6, 80, 64, 14, Flat({120, 108, 96}));
    Rect(c, px - 6, 386, 64, 14, Flat({110, 98, 88}));
    Polygon(c, {{px + 6, 120}, {px + 46, 120}, {px + 46, 250}, {px + 26, 232}, {px + 6, 250}},
            Vertical(120, 250, {150, 26, 32}, {96, 14, 20}));
    Polygon(c, {{px + 13, 140}, {px + 39, 140}, {px + 39, 162}, {px + 26, 178}, {px + 13, 162}},
            Vertical(140, 178, {240, 204, 100}, {170, 120, 40}));
    Line(c, px + 19, 147, px + 26, 166, 3, {120, 20, 26});
    Line(c, px + 33, 147, px + 26, 166, 3, {120, 20, 26});
    Glow(c, px + 26, 290, 70, {255, 170, 70}, 0.35);
    Rect(c, px + 22, 286, 8, 22, Flat({60, 40, 26}));
    Ellipse(c, px + 26, 280, 6, 10, Vertical(270, 290, {255, 240, 150}, {240, 120, 30}));
  }
  Glow(c, 420, 400, 160, {255, 150, 60}, 0.18);
  // A calm panel under the sign-in fields.
  RoundRect(c, -8, 128, 226, 112, 8, Flat({10, 8, 10}), 0.45);
  MessageBand(c, {14, 12, 14});
  Vignette(c, 0.6);
  if (ShadowText(c, f.label, "Pseudonyme", 6, 140, {240, 226, 196}, false)) return 1;
  if (ShadowText(c, f.label, "Mot de passe", 6, 188, {240, 226, 196}, false)) return 1;
  if (Text(c, f.title, "Varkel", 114, 262, kBlack, true, 0.7)) return 1;
  if (Text(c, f.title, "Varkel", 111, 258, {255, 228, 130}, true, 1, 0.4)) return 1;
  return Text(c, f.label, "un village, une vie", 111, 330, {220, 200, 170}, true);
}

// Boards running away from the viewer towards a vanishing point.
static Rgb FloorBoards(double x, double y) {
  double d = y - 100, u = (x - 320) / d * 10, b = floor(u);
  double v = 1400 / d + Hash((int)b, 0, 8) * 4, p = floor(v);
  Rgb col = Shade({150, 98, 56}, 0.78 + 0.3 * Hash((int)b, (int)p, 9));
  col = Shade(col, 0.9 + 0.2 * Noise((u - b) * 24, v * 3, 1, 10 + (unsigned)(int)b));
  if ((u - b) * d / 10 < 1.2 || (v - p) < 1400 / (d * d) * 1.2) col = Shade(col, 0.45);
  return col;
}

static void Bed(Canvas &c) {
  Rgb wood_light = {132, 82, 44}, wood_dark = {78, 44, 22};
  Ellipse(c, 230, 404, 170, 16, Flat(kBlack), 0.35);
  RoundRect(c, 72, 226, 36, 178, 12, Horizontal(72, 108, wood_light, wood_dark));
  RoundRect(c, 80, 240, 20, 80, 6, Flat(Shade(wood_dark, 0.9)));
  Rect(c, 96, 336, 272, 36, Vertical(336, 372, wood_light, wood_dark));
  Rect(c, 104, 372, 10, 30, Flat(wood_dark));
  Rect(c, 338, 372, 10, 30, Flat(wood_dark));
  RoundRect(c, 100, 304, 264, 36, 6, Vertical(304, 340, {240, 234, 220}, {196, 188, 170}));
  RoundRect(c, 106, 280, 70, 32, 13, Vertical(280, 312, {250, 248, 242}, {204, 198, 188}));
  Polygon(c, {{170, 294}, {364, 294}, {370, 376}, {164, 376}}, [](double x, double y) {
    Rgb col = Mix({74, 104, 170}, {36, 52, 104}, (y - 294) / 82);
    return (((int)(x - 164) / 24 + (int)(y - 294) / 24) % 2) ? col : Shade(col, 0.88);
  });
  Rect(c, 170, 294, 194, 12, Vertical(294, 306, {246, 242, 232}, {210, 204, 192}));
  RoundRect(c, 352, 276, 26, 128, 8, Horizontal(352, 378, wood_light, wood_dark));
}

static void Wardrobe(Canvas &c) {
  Rgb light = {128, 82, 46}, dark = {86, 52, 28};
  Rect(c, 480, 108, 146, 300, Horizontal(480, 626, light, dark));
  Rect(c, 472, 96, 162, 16, Vertical(96, 112, {150, 100, 58}, dark));
  for (int door = 0; door < 2; door++) {
    double x = 488 + door * 68;
    Rect(c, x, 120, 62, 276, Flat(Shade(light, 0.85)));
    Rect(c, x + 8, 132, 46, 110, Horizontal(x + 8, x + 54, Shade(light, 0.7), Shade(light, 0.95)));
    Rect(c, x + 8, 256, 46, 126, Horizontal(x + 8, x + 54, Shade(light, 0.7), Shade(light, 0.95)));
  }
  Ellipse(c, 545, 250, 3, 3, Flat({226, 190, 90}));
  Ellipse(c, 559, 250, 3, 3, Flat({226, 190, 90}));
}

static int DrawRoom(Canvas &c, const Fonts &, const Picture &) {
  Rect(c, 0, 0, 640, 302, [](double x, double y) {
    Rgb base = ((int)x / 20) % 2 ? Rgb{154, 106, 74} : Rgb{140, 96, 66};
    if (((int)x + 10) % 40 < 2) base = Rgb{170, 126, 80};
    return Shade(base, 0.85 + 0.15 * y / 300);
  });
  Rect(c, 0, 252, 640, 50, Vertical(252, 302, {116, 74, 42}, {84, 50, 28}));
  Rect(c, 0, 248, 640, 6, Flat({150, 104, 62}));
  Rect(c, 0, 302, 640, 178, FloorBoards);
  Rect(c, 0, 298, 640, 6, Flat({70, 42, 24}));
  // Window on the morning, with its curtains.
  Rect(c, 232, 86, 148, 146, Flat({84, 52, 30}));
  Rect(c, 240, 94, 132, 130, Vertical(94, 224, {110, 168, 228}, {214, 230, 244}));
  for (int i = 0; i < 3; i++)
    Ellipse(c, 280 + i * 22, 130 - (i % 2) * 8, 24, 10, Flat({250, 250, 250}), 0.85);
  Rect(c, 240, 196, 132, 28, Vertical(196, 224, {120, 160, 110}, {90, 130, 80}));
  Rect(c, 303, 94, 6, 130, Flat({84, 52, 30}));
  Rect(c, 240, 156, 132, 6, Flat({84, 52, 30}));
  Rect(c, 226, 230, 160, 8, Flat({110, 70, 40}));
  Polygon(c, {{214, 74}, {262, 74}, {248, 240}, {214, 244}},
          Horizontal(214, 262, {160, 34, 40}, {100, 16, 24}));
  Polygon(c, {{350, 74}, {398, 74}, {398, 244}, {364, 240}},
          Horizontal(350, 398, {100, 16, 24}, {160, 34, 40}));
  Rect(c, 206, 68, 200, 7, Flat({70, 44, 26}));
  // A landscape on the wall, a night table with its candle.
  Rect(c, 60, 134, 112, 80, Flat({190, 148, 64}));
  Rect(c, 66, 140, 100, 68, Vertical(140, 208, {120, 170, 210}, {236, 214, 160}));
  Polygon(c, {{66, 208}, {96, 168}, {120, 190}, {144, 160}, {166, 208}}, Flat({70, 110, 70}));
  Rect(c, 8, 318, 56, 80, Horizontal(8, 64, {132, 82, 44}, {80, 46, 22}));
  Rect(c, 4, 312, 64, 8, Flat({150, 100, 56}));
  Ellipse(c, 36, 352, 3, 3, Flat({226, 190, 90}));
  Glow(c, 36, 292, 90, {255, 200, 110}, 0.35);
  Rect(c, 31, 294, 10, 18, Flat({240, 230, 200}));
  Ellipse(c, 36, 286, 4, 8, Vertical(278, 294, {255, 246, 170}, {250, 140, 40}));
  Bed(c);
  Wardrobe(c);
  Ellipse(c, 300, 446, 170, 26, Flat({120, 30, 34}));
  Ellipse(c, 300, 446, 156, 20, Flat({190, 140, 60}));
  Ellipse(c, 300, 446, 146, 16, Grainy({150, 40, 44}, 0.2, 4, 12));
  Glow(c, 306, 160, 260, {255, 236, 190}, 0.2);
  MessageBand(c, {26, 16, 10});
  Vignette(c, 0.55);
  return 0;
}

// Roof tiles in staggered rows.
static auto Tiles(Rgb col, double top) {
  return [=](double x, double y) {
    double v = (y - top) / 7, row = floor(v), u = (x + fmod(row, 2) * 6) / 12;
    double shade = 0.8 + 0.25 * (v - row);
    return Shade(col, u - floor(u) < 0.1 ? 0.6 : shade);
  };
}

// A half-timbered house standing on the square.
static void House(Canvas &c, double x, double w, double base, double wall, Rgb colour, Rgb roof,
                  Rgb shutter) {
  double top = base - wall, peak = top - w * 0.45;
  Rect(c, x + w * 0.7, peak + 10, 14, w * 0.3, Flat({120, 70, 50}));
  Rect(c, x, top, w, wall, Grainy(colour, 0.08, 8, (unsigned)(int)x));
  Rect(c, x, base - 12, w, 12, Grainy({130, 124, 114}, 0.3, 3, (unsigned)(int)x));
  Polygon(c, {{x - 10, top + 2}, {x + w / 2, peak}, {x + w + 10, top + 2}}, Tiles(roof, peak));
  Rgb beam = {86, 54, 32};
  Rect(c, x, top, w, 4, Flat(beam));
  Rect(c, x, top + wall * 0.45, w, 4, Flat(beam));
  Rect(c, x, top, 4, wall - 12, Flat(beam));
  Rect(c, x + w - 4, top, 4, wall - 12, Flat(beam));
  Line(c, x + 4, top + 4, x + w / 2, top + wall * 0.45, 3, beam);
  Line(c, x + w - 4, top + 4, x + w / 2, top + wall * 0.45, 3, beam);
  const double windows[2] = {0.2, 0.66};
  for (double k : windows) {
    double wx = x + w * k, wy = base - wall * 0.42;
    Rect(c, wx - 2, wy - 2, 18, 22, Flat(beam));
    Rect(c, wx, wy, 14, 18, Vertical(wy, wy + 18, {60, 80, 100}, {110, 140, 160}));
    Rect(c, wx - 8, wy - 2, 6, 22, Flat(shutter));
    Rect(c, wx + 16, wy - 2, 6, 22, Flat(shutter));
    Rect(c, wx - 2, wy + 20, 18, 4, Flat({200, 60, 60}));
  }
  RoundRect(c, x + w * 0.42, base - 34, 18, 34, 8,
            Vertical(base - 34, base, {110, 68, 36}, {70, 42, 22}));
}

// A leafless tree: each branch splits in two thinner ones.
static void BareBranch(Canvas &c, double x, double y, double angle, double len, double width,
                       int depth, Lcg &g) {
  double x1 = x + cos(angle) * len, y1 = y + sin(angle) * len;
  Line(c, x, y, x1, y1, width, {16, 16, 24});
  if (depth == 0) return;
  for (int side = -1; side <= 1; side += 2)
    BareBranch(c, x1, y1, angle + side * g.In(0.25, 0.6), len * g.In(0.6, 0.8), width * 0.65,
               depth - 1, g);
}

// A round crown lit from the upper left, with a leafy grain.
static auto Leaves(Rgb col, double cx, double cy, double r, unsigned seed) {
  return [=](double x, double y) {
    double light = 1.15 - 0.3 * ((x - cx) + (y - cy)) / r;
    return Shade(col, light * (0.8 + 0.4 * Noise(x, y, 2.5, seed)));
  };
}

static void Tree(Canvas &c, double x, double base, double size, unsigned seed) {
  Lcg g = {seed};
  double t = size * 0.12;
  Ellipse(c, x + size * 0.2, base, size * 0.8, size * 0.12, Flat(kBlack), 0.3);
  auto bark = [=](double px, double py) {
    Rgb col = Mix({120, 84, 52}, {50, 32, 18}, Clamp((px - x + t) / (2 * t), 0, 1));
    return Shade(col, 0.8 + 0.35 * Noise(px * 3, py / 3, 2, seed));
  };
  Polygon(c,
          {{x - t * 1.8, base},
           {x - t * 0.5, base - size * 1.3},
           {x + t * 0.5, base - size * 1.3},
           {x + t * 1.8, base}},
          bark);
  const Rgb greens[3] = {{30, 70, 32}, {54, 108, 42}, {100, 156, 62}};
  for (int layer = 0; layer < 3; layer++)
    for (int i = 0; i < 10 - layer * 3; i++) {
      double a = g.In(0, 2 * M_PI), r = g.Next() * size * (0.55 - layer * 0.14);
      double cx = x + cos(a) * r - layer * size * 0.08;
      double cy = base - size * 1.45 + sin(a) * r * 0.8 - layer * size * 0.12;
      double rr = size * g.In(0.28, 0.42) * (1 - layer * 0.22);
      Ellipse(c, cx, cy, rr, rr * 0.9, Leaves(greens[layer], cx, cy, rr, seed + i));
    }
}

static void Pine(Canvas &c, double x, double base, double size, Rgb col) {
  Rect(c, x - size * 0.06, base - size * 0.3, size * 0.12, size * 0.3, Flat({70, 48, 30}));
  for (int i = 0; i < 4; i++) {
    double top = base - size * (1.2 - i * 0.22), bottom = base - size * (0.25 + (3 - i) * 0.18);
    double half = size * (0.22 + i * 0.08);
    Polygon(c, {{x, top}, {x + half, bottom}, {x - half, bottom}},
            Horizontal(x - half, x + half, Shade(col, 1.2), Shade(col, 0.8)));
  }
}

// The stone drum of the well: rows of blocks bent around a cylinder.
static Rgb WellStones(double x, double y) {
  double dx = Clamp((x - 190) / 100, -1, 1), a = asin(dx), curve = 18 * sqrt(1 - dx * dx);
  double v = 420 + curve - y;
  int row = (int)floor(v / 20);
  double col = (a + (row % 2) * 0.2) / 0.4, fc = col - floor(col);
  Rgb stone = Shade({160, 154, 144}, 0.8 + 0.3 * Hash((int)floor(col), row, 5));
  stone = Shade(stone, 0.9 + 0.2 * Noise(x, y, 3, 6));
  bool mortar = fmod(v, 20) < 2 || fmin(fc, 1 - fc) * 40 * cos(a) < 1.5;
  return Shade(mortar ? Rgb{84, 80, 74} : stone, 0.5 + 0.5 * cos(a + 0.5));
}

static int DrawWell(Canvas &c, const Fonts &, const Picture &) {
  Rect(c, 0, 0, 640, 300, Vertical(0, 300, {90, 150, 220}, {200, 226, 246}));
  const double clouds[3][3] = {{120, 110, 1}, {380, 96, 1.3}, {560, 130, 0.8}};
  for (const auto &k : clouds)
    for (int i = 0; i < 4; i++)
      Ellipse(c, k[0] + (i - 1.5) * 24 * k[2], k[1] - (i % 2) * 8 * k[2], 28 * k[2], 14 * k[2],
              Flat({246, 248, 250}), 0.9);
  House(c, -10, 120, 300, 110, {226, 210, 176}, {150, 60, 40}, {60, 110, 80});
  House(c, 130, 100, 296, 90, {214, 196, 160}, {120, 70, 50}, {70, 90, 140});
  Tree(c, 296, 300, 56, 77);
  House(c, 360, 110, 298, 100, {230, 216, 184}, {160, 70, 45}, {130, 60, 50});
  House(c, 500, 150, 300, 124, {212, 196, 158}, {130, 56, 40}, {60, 110, 80});
  // Cobbles in rows that grow towards the viewer.
  Rect(c, 0, 296, 640, 184, Flat({86, 78, 66}));
  Lcg g = {21};
  double y = 298;
  for (int row = 0; y < 480; row++) {
    double hgt = 7 + row * 2.2, x = -g.In(0, hgt * 2);
    for (; x < 640; x += hgt * 2.2)
      RoundRect(c, x + 1, y + 1, hgt * 2.2 - 2, hgt - 2, hgt / 3,
                Vertical(y, y + hgt, Shade({170, 160, 146}, g.In(0.75, 1.05)), {110, 102, 92}));
    y += hgt;
  }
  // The well: stone drum, posts, roof, rope and bucket.
  Ellipse(c, 190, 430, 120, 18, Flat(kBlack), 0.3);
  Shape(
      c, 90, 340, 290, 440,
      [](double x, double y) {
        return fabs(x - 190) < 100 && y < 420 + 18 * sqrt(1 - pow((x - 190) / 100, 2));
      },
      WellStones);
  Ellipse(c, 190, 340, 100, 18, Grainy({176, 170, 160}, 0.3, 3, 4));
  Ellipse(c, 190, 341, 86, 12, Vertical(329, 353, {8, 14, 22}, {40, 60, 76}));
  Ellipse(c, 214, 346, 30, 3, Flat({150, 190, 220}), 0.35);
  Rect(c, 94, 190, 12, 154, Horizontal(94, 106, {140, 96, 56}, {90, 56, 30}));
  Rect(c, 274, 190, 12, 154, Horizontal(274, 286, {140, 96, 56}, {90, 56, 30}));
  Polygon(c, {{70, 204}, {190, 132}, {310, 204}, {300, 214}, {190, 154}, {80, 214}},
          Tiles({170, 70, 44}, 132));
  Rect(c, 100, 230, 190, 8, Flat({110, 72, 40}));
  Line(c, 286, 234, 300, 250, 4, {80, 50, 30});
  Line(c, 190, 238, 190, 288, 2, {190, 170, 130});
  Polygon(c, {{172, 288}, {208, 288}, {204, 318}, {176, 318}},
          Horizontal(172, 208, {150, 100, 60}, {100, 62, 32}));
  Rect(c, 173, 294, 34, 3, Flat({70, 70, 76}));
  Rect(c, 175, 310, 30, 3, Flat({70, 70, 76}));
  MessageBand(c, {16, 18, 24});
  Vignette(c, 0.45);
  return 0;
}

static int DrawGraveyard(Canvas &c, const Fonts &, const Picture &) {
  Rect(c, 0, 0, 640, 320, Vertical(0, 320, {6, 8, 26}, {40, 44, 84}));
  Lcg g = {33};
  for (int i = 0; i < 140; i++) {
    double x = g.In(0, 640), y = g.In(0, 280), b = g.In(0.4, 1);
    Blend(c, (int)x, (int)y, {250, 250, 230}, b);
  }
  Glow(c, 540, 140, 110, {200, 210, 255}, 0.35);
  Ellipse(c, 540, 140, 36, 36, Vertical(104, 176, {250, 248, 230}, {220, 218, 196}));
  Ellipse(c, 528, 132, 7, 6, Flat({200, 198, 180}));
  Ellipse(c, 552, 154, 9, 7, Flat({200, 198, 180}));
  // Hills, the chapel, the ground.
  Ellipse(c, 140, 330, 260, 70, Flat({20, 30, 36}));
  Ellipse(c, 520, 340, 240, 60, Flat({24, 34, 40}));
  Rect(c, 40, 200, 80, 110, Flat({14, 16, 24}));
  Polygon(c, {{34, 202}, {80, 160}, {126, 202}}, Flat({14, 16, 24}));
  Rect(c, 64, 120, 32, 60, Flat({14, 16, 24}));
  Polygon(c, {{60, 122}, {80, 94}, {100, 122}}, Flat({14, 16, 24}));
  Line(c, 80, 80, 80, 98, 3, {14, 16, 24});
  Line(c, 73, 86, 87, 86, 3, {14, 16, 24});
  RoundRect(c, 74, 230, 12, 22, 5, Flat({240, 190, 90}));
  Glow(c, 80, 240, 30, {240, 190, 90}, 0.4);
  Rect(c, 0, 310, 640, 170, [](double x, double y) {
    return Shade(Mix({36, 54, 40}, {18, 28, 22}, (y - 310) / 170), 0.85 + 0.3 * Noise(x, y, 4, 9));
  });
  // Iron fence.
  Rect(c, 0, 300, 640, 3, Flat({10, 10, 14}));
  Rect(c, 0, 326, 640, 3, Flat({10, 10, 14}));
  for (int x = 4; x < 640; x += 14) {
    Rect(c, x, 292, 3, 44, Flat({10, 10, 14}));
    Polygon(c, {{x - 2.0, 293}, {x + 1.5, 284}, {x + 5.0, 293}}, Flat({10, 10, 14}));
  }
  BareBranch(c, 470, 330, -M_PI / 2, 60, 9, 5, g);
  // Tombstones lit from the moon on the right, nearest last.
  const double stones[7][4] = {{70, 380, 44, 0},  {170, 372, 36, 1}, {290, 384, 48, 0},
                               {400, 370, 34, 1}, {120, 440, 56, 0}, {240, 452, 46, 1},
                               {380, 446, 58, 0}};
  for (const auto &s : stones) {
    double x = s[0], base = s[1], w = s[2], h = w * 1.4;
    auto light = [=](double px, double py) {
      Rgb col = Mix({70, 72, 84}, {164, 166, 176}, Clamp((px - x + w / 2) / w, 0, 1));
      return Shade(col, 0.85 + 0.3 * Noise(px, py, 2, (unsigned)(int)x));
    };
    Ellipse(c, x - w * 0.4, base, w * 0.9, 7, Flat(kBlack), 0.5);
    if (s[3] == 0) {
      Shape(
          c, x - w / 2, base - h, x + w / 2, base,
          [=](double px, double py) {
            return fabs(px - x) <= w / 2 &&
                   (py >= base - h + w / 2 || hypot(px - x, py - (base - h + w / 2)) <= w / 2);
          },
          light);
      Line(c, x, base - h + w * 0.35, x, base - h + w * 0.95, w * 0.08, {50, 50, 60});
      Line(c, x - w * 0.2, base - h + w * 0.55, x + w * 0.2, base - h + w * 0.55, w * 0.08,
           {50, 50, 60});
    } else {
      Rect(c, x - w * 0.1, base - h, w * 0.2, h, light);
      Rect(c, x - w * 0.45, base - h * 0.78, w * 0.9, w * 0.2, light);
    }
    Ellipse(c, x, base, w * 0.7, 6, Flat({30, 40, 30}));
  }
  // Ground mist.
  for (int i = 0; i < 6; i++)
    Ellipse(c, g.In(0, 640), g.In(360, 470), g.In(100, 200), g.In(8, 16), Flat({180, 190, 210}),
            0.1);
  MessageBand(c, {6, 8, 18});
  Vignette(c, 0.6);
  return 0;
}

static int DrawForest(Canvas &c, const Fonts &, const Picture &) {
  Rect(c, 0, 0, 640, 300, Vertical(0, 300, {130, 190, 230}, {224, 236, 214}));
  Lcg g = {44};
  for (int i = 0; i < 30; i++)
    Pine(c, i * 23 + g.In(-8, 8), 270, g.In(60, 110), {120, 160, 150});
  Rect(c, 0, 250, 640, 40, Flat({84, 126, 96}));
  for (int i = 0; i < 40; i++) {
    double r = g.In(18, 30);
    Ellipse(c, i * 17 + g.In(-6, 6), 262 - g.In(0, 24), r, r * 1.2,
            Grainy({84, 126, 96}, 0.15, 4, 7));
  }
  Rect(c, 0, 284, 640, 196, [](double x, double y) {
    return Shade(Mix({100, 152, 62}, {46, 92, 32}, (y - 284) / 196),
                 0.85 + 0.3 * Noise(x, y, 4, 2));
  });
  Polygon(c,
          {{306, 284},
           {326, 284},
           {350, 330},
           {340, 380},
           {420, 440},
           {480, 480},
           {240, 480},
           {290, 420},
           {290, 350}},
          [](double x, double y) {
            return Shade({156, 124, 84}, 0.8 + 0.35 * Noise(x, y, 2, 6));
          });
  Pine(c, 250, 296, 90, {40, 84, 50});
  Pine(c, 470, 292, 80, {40, 84, 50});
  const double trees[6][3] = {{40, 330, 90},  {560, 300, 70},  {190, 312, 66},
                              {410, 304, 56}, {110, 424, 120}, {600, 446, 128}};
  for (int i = 0; i < 6; i++)
    Tree(c, trees[i][0], trees[i][1], trees[i][2], 100 + i);
  for (int i = 0; i < 160; i++) {
    double x = g.In(0, 640), y = g.In(300, 480);
    Line(c, x, y, x + g.In(-3, 3), y - g.In(4, 9), 1.2, {140, 190, 90}, 0.6);
  }
  // Sunbeams through the leaves.
  for (int i = 0; i < 3; i++)
    Polygon(
        c, {{120.0 + i * 90, 0}, {150.0 + i * 90, 0}, {330.0 + i * 70, 480}, {270.0 + i * 70, 480}},
        Flat({255, 250, 200}), 0.07);
  // Berry bushes and mushrooms: food to be found.
  const double bushes[2][2] = {{230, 440}, {20, 470}};
  for (const auto &b : bushes) {
    Ellipse(c, b[0], b[1], 40, 22, Leaves({40, 96, 36}, b[0], b[1], 30, 8));
    for (int i = 0; i < 12; i++)
      Ellipse(c, b[0] + g.In(-30, 30), b[1] + g.In(-14, 12), 3, 3, Flat({200, 30, 56}));
  }
  const double mush[3][2] = {{166, 458}, {182, 466}, {420, 452}};
  for (const auto &m : mush) {
    Rect(c, m[0] - 3, m[1] - 10, 6, 10, Flat({236, 226, 200}));
    Ellipse(c, m[0], m[1] - 10, 10, 6, Vertical(m[1] - 16, m[1] - 4, {226, 56, 40}, {150, 20, 20}));
    Ellipse(c, m[0] - 3, m[1] - 12, 1.5, 1.5, Flat({250, 250, 250}));
    Ellipse(c, m[0] + 4, m[1] - 10, 1.2, 1.2, Flat({250, 250, 250}));
  }
  MessageBand(c, {10, 20, 10});
  Vignette(c, 0.5);
  return 0;
}

// --------------------------------------------------------------- the table

#define PAINTED(id, file, w, h, keyed, field, load, paint, label, tint)                            \
  {file, w, h, keyed, paint, label, tint},
static const Picture kPictures[] = {VARKEL_PICTURES(PAINTED)};
#undef PAINTED

static int Save(const Canvas &c, const char *path) {
  SDL_Surface *s =
      SDL_CreateRGBSurface(SDL_SWSURFACE, c.w, c.h, 24, 0xFF0000, 0x00FF00, 0x0000FF, 0);
  if (!s) {
    fprintf(stderr, "SDL_CreateRGBSurface: %s\n", SDL_GetError());
    return 1;
  }
  SDL_LockSurface(s);
  for (int y = 0; y < c.h; y++)
    for (int x = 0; x < c.w; x++) {
      const Rgb &p = c.px[y * c.w + x];
      Uint32 v = SDL_MapRGB(s->format, (Uint8)Clamp(lround(p.r), 0, 255),
                            (Uint8)Clamp(lround(p.g), 0, 255), (Uint8)Clamp(lround(p.b), 0, 255));
      Uint8 *d = (Uint8 *)s->pixels + y * s->pitch + x * 3;
      for (int k = 0; k < 3; k++)
        d[k] = (Uint8)(v >> (SDL_BYTEORDER == SDL_LIL_ENDIAN ? 8 * k : 16 - 8 * k));
    }
  SDL_UnlockSurface(s);
  int failed = SDL_SaveBMP(s, path);
  if (failed) fprintf(stderr, "SDL_SaveBMP: %s: %s\n", path, SDL_GetError());
  SDL_FreeSurface(s);
  return failed ? 1 : 0;
}

static TTF_Font *OpenFont(const char *path, int size) {
  TTF_Font *font = TTF_OpenFont(path, size);
  if (!font) fprintf(stderr, "TTF_OpenFont: %s: %s\n", path, TTF_GetError());
  return font;
}

// The bold face beside the given font, else the given font itself.
static void BoldPath(const char *font, char *out, size_t size) {
  const char *slash = strrchr(font, '/');
  snprintf(out, size, "%.*sDejaVuSans-Bold.ttf", slash ? (int)(slash - font + 1) : 0, font);
  FILE *probe = fopen(out, "rb");
  if (probe)
    fclose(probe);
  else
    snprintf(out, size, "%s", font);
}

static int DrawAll(const char *outdir, const Fonts &fonts) {
  for (const Picture &p : kPictures) {
    Canvas c = {p.w, p.h, p.keyed, std::vector<Rgb>((size_t)p.w * p.h, p.keyed ? kWhite : kBlack)};
    if (p.draw(c, fonts, p)) {
      fprintf(stderr, "make_pictures: drawing %s failed\n", p.name);
      return 1;
    }
    char path[4096];
    snprintf(path, sizeof(path), "%s%s.bmp", outdir, p.name);
    if (Save(c, path)) return 1;
  }
  return 0;
}

// ------------------------------------------------------------- desktop icons

// The window icon's badge at any size, on a transparent ground: the alpha
// is the badge's coverage, and the colours are taken back from the black
// ground the edges were blended on.
static void DrawBadge(Canvas &c, std::vector<unsigned char> &rgba) {
  double k = c.w / 32.0;
  Ellipse(c, 16 * k, 16 * k, 15.5 * k, 15.5 * k, Flat({200, 160, 60}));
  Ellipse(c, 16 * k, 16 * k, 13.5 * k, 13.5 * k,
          Vertical(2 * k, 30 * k, {60, 90, 170}, {20, 34, 80}));
  std::vector<Pt> v = {{6, 8}, {12, 8}, {16, 20}, {20, 8}, {26, 8}, {18.5, 27}, {13.5, 27}};
  for (Pt &q : v)
    q = {q.x * k, q.y * k};
  Polygon(c, v, Vertical(8 * k, 27 * k, {255, 226, 120}, {210, 150, 40}));
  auto inside = InEllipse(16 * k, 16 * k, 15.5 * k, 15.5 * k);
  rgba.assign((size_t)c.w * c.h * 4, 0);
  for (int y = 0; y < c.h; y++)
    for (int x = 0; x < c.w; x++) {
      int hits = 0;
      for (int s = 0; s < 16; s++)
        hits += inside(x + (s % 4 + 0.5) / 4, y + (s / 4 + 0.5) / 4);
      if (hits == 0) continue;
      double cover = hits / 16.0;
      const Rgb &p = c.px[y * c.w + x];
      unsigned char *d = &rgba[((size_t)y * c.w + x) * 4];
      d[0] = (unsigned char)Clamp(lround(p.r / cover), 0, 255);
      d[1] = (unsigned char)Clamp(lround(p.g / cover), 0, 255);
      d[2] = (unsigned char)Clamp(lround(p.b / cover), 0, 255);
      d[3] = (unsigned char)lround(255 * cover);
    }
}

static int SavePng(const char *path, int size, const std::vector<unsigned char> &rgba) {
  FILE *file = fopen(path, "wb");
  if (!file) {
    fprintf(stderr, "fopen: unable to open %s\n", path);
    return 1;
  }
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!info || setjmp(png_jmpbuf(png))) {
    fprintf(stderr, "libpng: writing %s failed\n", path);
    png_destroy_write_struct(&png, &info);
    fclose(file);
    return 1;
  }
  png_init_io(png, file);
  png_set_IHDR(png, info, size, size, 8, PNG_COLOR_TYPE_RGBA, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (int y = 0; y < size; y++)
    png_write_row(png, &rgba[(size_t)y * size * 4]);
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return fclose(file) == 0 ? 0 : 1;
}

// varkel-48.png ... varkel-256.png, the sizes desktops look for.
static int SaveIcons(const char *outdir) {
  for (int size : {48, 64, 128, 256}) {
    Canvas c = {size, size, false, std::vector<Rgb>((size_t)size * size, kBlack)};
    std::vector<unsigned char> rgba;
    DrawBadge(c, rgba);
    char path[4096];
    snprintf(path, sizeof(path), "%svarkel-%d.png", outdir, size);
    if (SavePng(path, size, rgba)) return 1;
  }
  return 0;
}

int main(int argc, char **argv) {
  if (argc == 3 && strcmp(argv[1], "--icons") == 0) return SaveIcons(argv[2]);
  if (argc != 3) {
    fprintf(stderr, "usage: %s OUTDIR/ FONT.ttf\n", argv[0]);
    return 1;
  }
  if (SDL_Init(SDL_INIT_VIDEO) != 0) {
    fprintf(stderr, "SDL_Init: %s\n", SDL_GetError());
    return 1;
  }
  if (TTF_Init() != 0) {
    fprintf(stderr, "TTF_Init: %s\n", TTF_GetError());
    SDL_Quit();
    return 1;
  }
  char bold[4096];
  BoldPath(argv[2], bold, sizeof(bold));
  Fonts fonts = {OpenFont(bold, 16), OpenFont(bold, 15), OpenFont(bold, 60), OpenFont(bold, 13)};
  TTF_Font *all[] = {fonts.signin, fonts.game, fonts.title, fonts.label};
  int failed = 0;
  for (TTF_Font *font : all)
    failed |= font == nullptr;
  if (!failed) failed = DrawAll(argv[1], fonts);
  for (TTF_Font *font : all)
    if (font) TTF_CloseFont(font);
  TTF_Quit();
  SDL_Quit();
  return failed;
}
