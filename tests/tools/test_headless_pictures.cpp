// Pictures without a window: the scene lands where the window's camera puts it, the frames come at
// the requested rate and size, bad picture options cost nothing, a failing ffmpeg leaves no
// half-written video, and drawing never changes the trajectory.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <thread>

#include "headless_run.hpp"
#include "render/frame_renderer.hpp"
#include "scene/world_picture.hpp"

namespace {

struct Rgb {
  int r, g, b;
};

Rgb pixel_at(FrameRenderer& renderer, double column, double row) {
  const unsigned char* p = frame_pixels(renderer) +
                           static_cast<int>(std::floor(row)) * frame_stride(renderer) +
                           static_cast<int>(std::floor(column)) * 4;
  return {p[2], p[1], p[0]};  // B G R A in memory
}

bool is_red(Rgb c) {
  return c.r > 200 && c.g < 80 && c.b < 80;
}
bool is_black(Rgb c) {
  return c.r < 60 && c.g < 60 && c.b < 60;
}
bool is_white(Rgb c) {
  return c.r == 255 && c.g == 255 && c.b == 255;
}

// The rope at start: straight along y = 0 from x = 0 to 1 m, carriages at -0.2 and 0.6 m.
TEST(Pictures, SceneLandsWhereTheCameraPutsIt) {
  auto sim = std::make_unique<Simulation>();
  ASSERT_EQ(start_simulation(*sim), MbsStatus::ok);
  FrameRenderer renderer;
  ASSERT_TRUE(init_renderer(renderer, 700, 500));
  render_frame(renderer, *sim);
  const Camera camera;
  auto at = [&](double x, double y) {
    const auto p = world_to_pixel(camera, 700, 500, x, y);
    return pixel_at(renderer, p[0], p[1]);
  };
  for (const double x : {0.01, 0.5, 0.99}) EXPECT_TRUE(is_red(at(x, 0.0))) << "chain at x = " << x;
  EXPECT_TRUE(is_black(at(-0.2, 0.0)));
  // The carriage at 0.6 sits on the chain; just below the chain's box it still shows.
  EXPECT_TRUE(is_black(at(0.6, -0.0075)));
  // One pixel is 3.3 mm here: 3 pixels off the axis or past the ends there is nothing.
  EXPECT_TRUE(is_white(at(0.5, 0.012)));
  EXPECT_TRUE(is_white(at(1.012, 0.0)));
  EXPECT_TRUE(is_white(pixel_at(renderer, 699, 499)));
  EXPECT_TRUE(is_white(pixel_at(renderer, 350, 400)));
}

class HeadlessPictures : public HeadlessFolders {
 protected:
  HeadlessRun run(std::vector<std::string> args) {
    args.insert(args.end(), {"--quiet", "--output", folder + "/run.csv"});
    return run_headless(args, scratch);
  }
};

std::pair<int, int> png_size(const std::string& path) {
  std::unique_ptr<cairo_surface_t, CairoDeleter> png(
      cairo_image_surface_create_from_png(path.c_str()));
  return {cairo_image_surface_get_width(png.get()), cairo_image_surface_get_height(png.get())};
}

TEST_F(HeadlessPictures, FramesComeAtTheRateAndSizeAsked) {
  const std::string frames = folder + "/frames";
  const HeadlessRun done =
      run({"--duration", "2", "--fps", "25", "--size", "320x240", "--frames", frames});
  ASSERT_EQ(done.status, 0) << done.err;
  EXPECT_EQ(folder_entries(frames).size(), 51u);  // t = 0, 0.04, ..., 2
  EXPECT_EQ(png_size(frames + "/frame_00000.png"), (std::pair<int, int>{320, 240}));
  EXPECT_EQ(png_size(frames + "/frame_00050.png"), (std::pair<int, int>{320, 240}));
}

TEST_F(HeadlessPictures, DrawingLeavesTheTrajectoryAsItIs) {
  const std::vector<std::string> moves = {"--duration", "1", "--target", "2=0.9@0.3"};
  ASSERT_EQ(run(moves).status, 0);
  const std::string plain = read_file(folder + "/run.csv");
  std::vector<std::string> with_video = moves;
  with_video.insert(with_video.end(), {"--video", folder + "/run.gif", "--frames", folder + "/f"});
  const HeadlessRun drawn = run(with_video);
  ASSERT_EQ(drawn.status, 0) << drawn.err;
  EXPECT_EQ(read_file(folder + "/run.csv"), plain);
  EXPECT_EQ(read_file(folder + "/run.gif").substr(0, 6), "GIF89a");
  const HeadlessRun mp4 =
      run({"--duration", "0.2", "--size", "101x75", "--video", folder + "/run.mp4"});
  ASSERT_EQ(mp4.status, 0) << mp4.err;  // odd sizes are padded for H.264
  EXPECT_EQ(read_file(folder + "/run.mp4").substr(4, 4), "ftyp");
}

// The world under the rope in the first frame (t = 0: the rope straight along y = 0 from x = 0 to
// 1 m): each key draws its shape in its colour where the camera puts it, and the background stays
// white beside it and without the key. The ground on a slope of 0.2 rad through (0, -0.3) lies at
// -0.46 m at x = -0.8 and -0.14 m at x = 0.8; the fluid's tint is 20 % blue over white; the ground
// is drawn over the fluid.
TEST_F(HeadlessPictures, WorldIsDrawnWhereItIs) {
  const Rgb background = {255, 255, 255};
  const Rgb ground = {ground_colour.r, ground_colour.g, ground_colour.b};
  const Rgb peg = {peg_colour.r, peg_colour.g, peg_colour.b};
  const Rgb surface = {surface_colour.r, surface_colour.g, surface_colour.b};
  auto tint = [](unsigned char c) {
    return static_cast<int>(std::lround(255.0 + fluid_opacity * (c - 255.0)));
  };
  const Rgb fluid = {tint(fluid_colour.r), tint(fluid_colour.g), tint(fluid_colour.b)};
  struct Case {
    std::vector<std::string> keys;
    Point at;  // m
    Rgb colour;
  };
  const std::vector<Case> cases = {
      {{}, {0.5, -0.5}, background},
      {{}, {0.3, -0.15}, background},
      {{"ground_height=-0.3"}, {0.5, -0.5}, ground},
      {{"ground_height=-0.3"}, {0.5, -0.27}, background},
      {{"ground_height=-0.3", "ground_slope=0.2"}, {-0.8, -0.42}, background},
      {{"ground_height=-0.3", "ground_slope=0.2"}, {0.8, -0.18}, ground},
      {{"pegs=0.3,-0.15,0.05"}, {0.3, -0.15}, peg},
      {{"pegs=0.3,-0.15,0.05"}, {0.3, -0.21}, background},
      {{"fluid_density=1000", "fluid_surface=-0.1"}, {0.5, -0.5}, fluid},
      {{"fluid_density=1000", "fluid_surface=-0.1"}, {-0.8, -0.1}, surface},
      {{"fluid_density=1000", "fluid_surface=-0.1"}, {0.5, -0.05}, background},
      {{"fluid_density=1000"}, {-0.8, 0.3}, fluid},
      {{"fluid_density=1000", "ground_height=-0.3"}, {0.5, -0.5}, ground},
  };
  const Camera camera;
  for (const Case& c : cases) {
    std::vector<std::string> args = {"--duration", "0.01", "--frames", folder + "/f"};
    for (const std::string& key : c.keys) args.insert(args.end(), {"--set", key});
    const std::string shown = testing::PrintToString(c.keys) + " at (" + std::to_string(c.at[0]) +
                              ", " + std::to_string(c.at[1]) + ")";
    const HeadlessRun done = run(args);
    ASSERT_EQ(done.status, 0) << shown << ": " << done.err;
    std::unique_ptr<cairo_surface_t, CairoDeleter> png(
        cairo_image_surface_create_from_png((folder + "/f/frame_00000.png").c_str()));
    ASSERT_EQ(cairo_surface_status(png.get()), CAIRO_STATUS_SUCCESS) << shown;
    const auto p = world_to_pixel(camera, 700, 500, c.at[0], c.at[1]);
    const unsigned char* bgra = cairo_image_surface_get_data(png.get()) +
                                static_cast<int>(p[1]) * cairo_image_surface_get_stride(png.get()) +
                                static_cast<int>(p[0]) * 4;
    // One unit: Cairo's and our rounding of the blend.
    EXPECT_NEAR(bgra[2], c.colour.r, 1) << shown;
    EXPECT_NEAR(bgra[1], c.colour.g, 1) << shown;
    EXPECT_NEAR(bgra[0], c.colour.b, 1) << shown;
    remove_folder(folder + "/f");
  }
}

// Each bad picture option: status 2, a message, nothing written.
TEST_F(HeadlessPictures, BadPictureOptionsWriteNothing) {
  const std::vector<std::vector<std::string>> cases = {
      {"--video", folder + "/run.avi"},
      {"--fps", "0"},
      {"--fps", "5000"},
      {"--size", "700x"},
      {"--size", "10x10"},
      {"--speed", "-1"},
      {"--frames", folder + "/run.csv.d", "--fps", "x"}};
  for (const auto& args : cases) {
    const HeadlessRun bad = run(args);
    EXPECT_EQ(bad.status, 2) << args[0] << " " << args[1];
    EXPECT_NE(bad.err.find("rope-headless: "), std::string::npos);
    EXPECT_TRUE(folder_entries(folder).empty()) << args[0] << " " << args[1];
  }
  // No ffmpeg on the PATH.
  const std::string path = std::getenv("PATH");
  setenv("PATH", scratch.c_str(), 1);
  const HeadlessRun no_ffmpeg = run({"--video", folder + "/run.mp4"});
  setenv("PATH", path.c_str(), 1);
  EXPECT_EQ(no_ffmpeg.status, 2);
  EXPECT_NE(no_ffmpeg.err.find("ffmpeg"), std::string::npos) << no_ffmpeg.err;
  EXPECT_TRUE(folder_entries(folder).empty());
}

// An ffmpeg that gives up after a few frames, or one that reports a full disk, leaves a cut video
// and still exits 0: a message, status 1, and a failed run replaces no output, the CSV included;
// an earlier video stays as it was.
TEST_F(HeadlessPictures, FailingFfmpegLeavesNoVideo) {
  ASSERT_EQ(scratch.rfind('/', 0), 0u);  // an absolute temporary folder, never the root's bin
  ASSERT_GT(scratch.size(), 1u);
  const std::string tools = scratch + "/bin";
  mkdir(tools.c_str(), 0755);
  const std::string cut = "for out; do :; done\ncat > /dev/null\nprintf '";
  const std::string full_disk =
      "' > \"$out\"\necho \"$out: No space left on device\" >&2\nexit 0\n";
  const std::pair<const char*, std::string> cases[] = {  // the video, ffmpeg's script
      {"run.mp4", "head -c 3000000 > /dev/null\nexit 1\n"},
      {"run.mp4", cut + "\\0\\0\\0\\030ftypisom\\0\\0\\2\\0isomiso2\\0\\0\\100\\0mdat" + full_disk},
      {"run.gif", cut + "GIF89a\\1\\0\\1\\0" + full_disk},
  };
  const std::string path = std::getenv("PATH");
  for (const auto& [name, script] : cases) {
    SCOPED_TRACE(script);
    std::ofstream(tools + "/ffmpeg") << "#!/bin/sh\n" << script;
    chmod((tools + "/ffmpeg").c_str(), 0755);
    const std::string video = folder + "/" + name;
    std::ofstream(video) << "an earlier video";
    setenv("PATH", (tools + ":" + path).c_str(), 1);
    const HeadlessRun failed = run({"--duration", "2", "--video", video});
    setenv("PATH", path.c_str(), 1);
    EXPECT_EQ(failed.status, 1);
    EXPECT_NE(failed.err.find("cannot write video"), std::string::npos) << failed.err;
    EXPECT_EQ(folder_entries(folder).size(), 1u);
    EXPECT_EQ(read_file(video), "an earlier video");
    unlink(video.c_str());
  }
}

// Every destination is checked before the run: a refused one costs nothing and the previous
// CSV stays as it was.
TEST_F(HeadlessPictures, DestinationsAreCheckedBeforeTheRun) {
  struct Case {
    std::vector<std::string> args;
    std::string problem;
  };
  mkdir((folder + "/dir.mp4").c_str(), 0755);
  mkfifo((folder + "/fifo.mp4").c_str(), 0600);
  mkdir((folder + "/old-frames").c_str(), 0755);
  ASSERT_EQ(symlink("run.csv", (folder + "/alias.gif").c_str()), 0);
  for (const char* name : {"/frame_00000.png", "/frame_00001.png"})
    std::ofstream(folder + "/old-frames" + name) << "png";
  const std::vector<Case> cases = {
      {{"--video", folder + "/dir.mp4"}, "it is a directory"},
      {{"--video", folder + "/fifo.mp4"}, "not a regular file"},
      {{"--video", folder + "/run.csv"}, ".gif or .mp4"},
      {{"--video", folder + "/alias.gif"}, "the same file"},  // a link to the CSV
      {{"--frames", folder + "/old-frames"}, "already holds 2 frame files"},
      {{"--speed", "1e-9", "--frames", folder + "/many"}, "500000000000 pictures"},
  };
  for (const Case& c : cases) {
    std::ofstream(folder + "/run.csv") << "old";
    const HeadlessRun refused = run(c.args);
    EXPECT_EQ(refused.status, 2) << c.args[1];
    EXPECT_NE(refused.err.find(c.problem), std::string::npos) << refused.err;
    EXPECT_EQ(read_file(folder + "/run.csv"), "old") << c.args[1];
    EXPECT_EQ(folder_entries(folder).size(), 5u) << "left behind by " << c.args[1];
  }
}

// A GIF streams into a FIFO's reader; a symbolic link is followed and stays a link.
TEST_F(HeadlessPictures, GifStreamsIntoAFifoAndLinksAreFollowed) {
  const std::string fifo = folder + "/pipe.gif";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::string received;
  std::thread reader([&] { received = read_file(fifo); });
  const HeadlessRun streamed = run({"--duration", "0.2", "--video", fifo});
  reader.join();
  EXPECT_EQ(streamed.status, 0) << streamed.err;
  EXPECT_EQ(received.substr(0, 6), "GIF89a");

  ASSERT_EQ(symlink("real.gif", (folder + "/link.gif").c_str()), 0);
  const HeadlessRun linked = run({"--duration", "0.2", "--video", folder + "/link.gif"});
  EXPECT_EQ(linked.status, 0) << linked.err;
  EXPECT_EQ(read_file(folder + "/real.gif").substr(0, 6), "GIF89a");
  struct stat info {};
  ASSERT_EQ(lstat((folder + "/link.gif").c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
}

}  // namespace
