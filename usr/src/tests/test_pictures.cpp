// SPDX-License-Identifier: MIT
// The pictures drawn at build time: sizes, 24-bit format, colour-keyed
// pictures with a transparent frame and visible content, and a generator
// that gives the same bytes on every run and names the call that failed.
#include <math.h>

#include <string>

#include <gtest/gtest.h>

#include "client_functions.h"
#include "common/varkel_pictures.h"
#include "support.h"

namespace {
struct Expected {
  const char *name;
  int w, h;
  bool keyed;
};
} // namespace

#define EXPECTED(id, file, w, h, keyed, field, load, paint, label, tint) {file, w, h, keyed},
static const Expected kExpected[] = {VARKEL_PICTURES(EXPECTED)};
#undef EXPECTED

static const std::string kPictureDir = VARKEL_SHARE_DIR "/pictures/";
static const unsigned kWhite = 0xFFFFFF;

TEST(Pictures, EachLoadsAs24BitAtItsSize) {
  StartLibraries();
  for (const Expected &e : kExpected) {
    SCOPED_TRACE(e.name);
    SDL_Surface *s = SDL_LoadBMP((kPictureDir + e.name + ".bmp").c_str());
    ASSERT_NE(s, nullptr) << SDL_GetError();
    EXPECT_EQ(s->format->BitsPerPixel, 24);
    EXPECT_EQ(s->w, e.w);
    EXPECT_EQ(s->h, e.h);
    SDL_FreeSurface(s);
  }
}

// White is the transparent colour of the small pictures: their corners are
// white (but for the pointer's tip), and a good part of them is not.
TEST(Pictures, KeyedPicturesHaveWhiteFrameAndVisibleContent) {
  StartLibraries();
  for (const Expected &e : kExpected) {
    if (!e.keyed) continue;
    SCOPED_TRACE(e.name);
    SDL_Surface *s = SDL_LoadBMP((kPictureDir + e.name + ".bmp").c_str());
    ASSERT_NE(s, nullptr) << SDL_GetError();
    bool cursor = std::string(e.name) == "cursor_arrow";
    EXPECT_EQ(PixelAt(s, 0, 0), cursor ? 0x000000u : kWhite);
    EXPECT_EQ(PixelAt(s, s->w - 1, 0), kWhite);
    EXPECT_EQ(PixelAt(s, 0, s->h - 1), kWhite);
    EXPECT_EQ(PixelAt(s, s->w - 1, s->h - 1), kWhite);
    int shown = 0;
    for (int y = 0; y < s->h; y++)
      for (int x = 0; x < s->w; x++)
        shown += PixelAt(s, x, y) != kWhite;
    EXPECT_GT(shown, s->w * s->h / 4);
    SDL_FreeSurface(s);
  }
}

TEST(Pictures, GeneratorIsDeterministic) {
  std::string dir = MakeTempDir();
  ProcessResult run = RunProcess({VARKEL_MAKE_PICTURES, dir, VARKEL_FONT_SOURCE}, dir, 60000,
                                 {"SDL_VIDEODRIVER=dummy"});
  ASSERT_EQ(run.status, 0) << run.out;
  for (const Expected &e : kExpected) {
    SCOPED_TRACE(e.name);
    std::string fresh = ReadFileText(dir + e.name + ".bmp");
    EXPECT_FALSE(fresh.empty());
    EXPECT_TRUE(fresh == ReadFileText(kPictureDir + e.name + ".bmp"));
  }
  RemoveTree(dir);
}

TEST(Pictures, GeneratorNamesTheFailingCall) {
  std::string dir = MakeTempDir();
  ProcessResult no_font = RunProcess({VARKEL_MAKE_PICTURES, dir, dir + "missing.ttf"}, dir, 60000,
                                     {"SDL_VIDEODRIVER=dummy"});
  EXPECT_NE(no_font.status, 0);
  EXPECT_NE(no_font.out.find("TTF_OpenFont"), std::string::npos) << no_font.out;
  ProcessResult no_dir = RunProcess({VARKEL_MAKE_PICTURES, dir + "absent/", VARKEL_FONT_SOURCE},
                                    dir, 60000, {"SDL_VIDEODRIVER=dummy"});
  EXPECT_NE(no_dir.status, 0);
  EXPECT_NE(no_dir.out.find("SDL_SaveBMP"), std::string::npos) << no_dir.out;
  RemoveTree(dir);
}

static double Linear(unsigned channel) {
  double c = channel / 255.0;
  return c <= 0.04045 ? c / 12.92 : pow((c + 0.055) / 1.055, 2.4);
}

static double Luminance(unsigned rgb) {
  return 0.2126 * Linear(rgb >> 16 & 255) + 0.7152 * Linear(rgb >> 8 & 255) +
         0.0722 * Linear(rgb & 255);
}

// The heard line (pale green, 11 px) is drawn on the message bar, black and
// translucent, from (53, 240) to the right edge, 11 rows high. On the hall and
// on each place, every pixel behind it leaves the line a contrast of at
// least 7 to 1, enough to read small text at a glance.
TEST(Pictures, HeardLineReadsOnEveryPlace) {
  StartLibraries();
  const double text = Luminance(0x64C864); // (100, 200, 100)
  for (const Expected &e : kExpected) {
    if (e.w != 640 || e.h != 480) continue; // the hall and the places
    SCOPED_TRACE(e.name);
    SDL_Surface *s = SDL_LoadBMP((kPictureDir + e.name + ".bmp").c_str());
    ASSERT_NE(s, nullptr) << SDL_GetError();
    double brightest = 0;
    for (int y = 240; y < 251; y++)
      for (int x = 53; x < 640; x++) {
        unsigned rgb = PixelAt(s, x, y), behind = 0;
        for (int shift = 0; shift <= 16; shift += 8)
          behind |= ((rgb >> shift & 255) * (255 - kTranslucent) / 255) << shift;
        brightest = fmax(brightest, Luminance(behind));
      }
    EXPECT_GE((text + 0.05) / (brightest + 0.05), 7.0);
    SDL_FreeSurface(s);
  }
}
