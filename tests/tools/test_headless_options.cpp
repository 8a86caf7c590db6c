// rope-headless on bad input: one line naming the problem, a usage hint, exit status 2, and
// nothing written (no output file, no temporary file, nothing on standard output).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <fstream>

#include "headless_run.hpp"

namespace {

struct BadInput {
  std::string name;
  std::vector<std::string> args;
  std::string problem;     // part of the error line
  std::string model = {};  // model file text, given as --model .../model.toml; empty: none
};
// In args, MODEL stands for the model file's path and FOLDER/ for the checked folder's.

std::string repeated(const std::string& text, int times) {
  std::string all;
  for (int i = 0; i < times; ++i) all += text;
  return all;
}

void PrintTo(const BadInput& input, std::ostream* out) {
  *out << input.name;
}

class HeadlessBadInput : public HeadlessFolders, public testing::WithParamInterface<BadInput> {};

TEST_P(HeadlessBadInput, ExitsWithStatus2AndWritesNothing) {
  const BadInput& input = GetParam();
  std::vector<std::string> args = input.args;
  const std::string model = scratch + "/model.toml";
  for (std::string& arg : args) {  // the test's own paths
    if (arg == "MODEL") arg = model;
    if (arg.rfind("FOLDER/", 0) == 0) arg = folder + arg.substr(6);
  }
  // Where the trajectory would go if the input were accepted.
  if (std::find(args.begin(), args.end(), "--output") == args.end())
    args.insert(args.begin(), {"--output", folder + "/rope.csv"});
  if (!input.model.empty()) {
    std::ofstream(model) << input.model;
    args.insert(args.begin(), {"--model", model});
  }
  const HeadlessRun run = run_headless(args, scratch);
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_TRUE(folder_entries(folder).empty());
  const size_t first_end = run.err.find('\n');
  ASSERT_NE(first_end, std::string::npos) << run.err;
  const std::string first_line = run.err.substr(0, first_end);
  EXPECT_NE(first_line.find(input.problem), std::string::npos) << first_line;
  EXPECT_NE(run.err.find("--help"), std::string::npos) << "no usage hint: " << run.err;
}

INSTANTIATE_TEST_SUITE_P(
    EveryCase, HeadlessBadInput,
    testing::Values(
        BadInput{"UnknownOption", {"--colour", "red"}, "unknown option '--colour'"},
        BadInput{"StrayArgument", {"extra"}, "unknown option 'extra'"},
        BadInput{"DurationMissing", {"--duration"}, "missing value for --duration"},
        BadInput{"EveryMissing", {"--every"}, "missing value for --every"},
        BadInput{"TargetMissing", {"--target"}, "missing value for --target"},
        BadInput{"DurationWord", {"--duration", "ten"}, "--duration needs a number"},
        BadInput{"DurationEmpty", {"--duration", ""}, "--duration needs a number"},
        BadInput{"DurationWithUnit", {"--duration", "3s"}, "--duration needs a number"},
        BadInput{"DurationNegative", {"--duration", "-1"}, "--duration must not be negative"},
        BadInput{"DurationNegativeInline", {"--duration=-0.5"}, "--duration must not be negative"},
        BadInput{"DurationInfinite", {"--duration", "inf"}, "--duration must be finite"},
        BadInput{"DurationNan", {"--duration", "nan"}, "--duration must be finite"},
        BadInput{"DurationTooLong", {"--duration", "1e10"}, "--duration must be at most"},
        BadInput{"EveryZero", {"--every", "0"}, "--every needs a positive integer"},
        BadInput{"EveryNegative", {"--every", "-3"}, "--every needs a positive integer"},
        BadInput{"EveryFraction", {"--every", "1.5"}, "--every needs a positive integer"},
        BadInput{"EveryWord", {"--every", "x"}, "--every needs a positive integer"},
        BadInput{"EveryOverflow",
                 {"--every", "99999999999999999999"},
                 "--every needs a positive integer"},
        BadInput{"TargetCarriage3", {"--target", "3=0.1@0"}, "carriage must be 1 or 2"},
        BadInput{"TargetCarriage0", {"--target", "0=0.1@0"}, "carriage must be 1 or 2"},
        BadInput{"TargetNoTime", {"--target", "1=0.1"}, "--target needs K=X@T"},
        BadInput{"TargetNoPosition", {"--target", "1@0.1"}, "--target needs K=X@T"},
        BadInput{"TargetSwapped", {"--target", "1@2=0.1"}, "--target needs K=X@T"},
        BadInput{"TargetPositionWord", {"--target", "1=abc@0"}, "--target needs K=X@T"},
        BadInput{"TargetPositionEmpty", {"--target", "1=@0"}, "--target needs K=X@T"},
        BadInput{
            "TargetPositionInfinite", {"--target", "1=inf@0"}, "--target position must be finite"},
        BadInput{
            "TargetTimeNegative", {"--target", "1=0.1@-1"}, "--target time must not be negative"},
        BadInput{"TargetTimeNan", {"--target", "1=0.1@nan"}, "--target time must be finite"},
        BadInput{"TargetTimeEmpty", {"--target", "1=0.1@"}, "--target time needs a number"},
        // A good option before a bad one still writes nothing.
        BadInput{"BadAfterGood",
                 {"--duration", "0.1", "--target", "2=0.5@x"},
                 "--target time needs a number"},
        // Model files: the file, line and column of the offending key.
        BadInput{"ModelUnknownKey",
                 {},
                 "model.toml:2:1: unknown key 'lenght'",
                 "links = 5\nlenght = 1\n"},
        BadInput{"ModelWrongType",
                 {},
                 "model.toml:1:1: key 'link_mass' needs a number, not a string",
                 "link_mass = \"heavy\""},
        BadInput{"ModelNotFinite",
                 {},
                 "model.toml:1:1: key 'gravity' needs a finite number",
                 "gravity = inf"},
        BadInput{
            "ModelZeroLinks", {}, "model.toml:1:1: key 'links' needs a whole number", "links = 0"},
        BadInput{"ModelFractionalLinks", {}, "key 'links' needs a whole number", "links = 2.5"},
        BadInput{"ModelZeroLength",
                 {},
                 "key 'link_length' needs a number of metres from 1e-6 to 1e100",
                 "link_length = 0"},
        BadInput{"ModelNegativeMass",
                 {},
                 "key 'carriage_mass' needs a finite number greater than 0",
                 "carriage_mass = [100, -1]"},
        BadInput{"ModelNegativeDamping",
                 {},
                 "key 'joint_damping' needs a finite number, 0 or more",
                 "joint_damping = -0.01"},
        BadInput{"ModelPhysicsKeyWithItsPerBodyKey",
                 {},
                 "model.toml:2:1: key 'mass_per_metre' cannot be given with 'link_mass'",
                 "link_mass = 0.1\nmass_per_metre = 1\n"},
        BadInput{"ModelThreeCarriages",
                 {},
                 "key 'carriage_start' needs one number or two",
                 "carriage_start = [0, 1, 2]"},
        BadInput{"ModelSyntax", {}, "model.toml:1:", "links = = 3"},
        BadInput{"ModelMissing",
                 {"--model", "/no/such/model.toml"},
                 "/no/such/model.toml: cannot read the model file"},
        BadInput{"SetUnknownKey", {"--set", "stiffness=3"}, "unknown key 'stiffness'"},
        BadInput{"SetNoValue", {"--set", "links"}, "--set needs KEY=VALUE"},
        BadInput{"SetWord", {"--set", "link_mass=heavy"}, "key 'link_mass' needs a number"},
        BadInput{"SetPhysicsKeyWithItsPerBodyKey",
                 {"--set", "rope_length=1", "--set", "link_length=0.04"},
                 "--set link_length=0.04: key 'link_length' cannot be given with 'rope_length'"},
        BadInput{"SetNegative",
                 {"--set", "drive_stiffness=-5"},
                 "key 'drive_stiffness' needs a finite number, 0 or more"},
        // The world around the rope.
        BadInput{"NegativeContactSpring", {"--set", "contact_stiffness=-1"}, "key 'contact_stiff"},
        BadInput{"NegativeContactDamper", {"--set", "contact_damping=-1"}, "key 'contact_damping'"},
        BadInput{"NegativeFriction", {"--set", "friction=-0.2"}, "key 'friction' needs a finite"},
        BadInput{"ZeroFrictionSpeed", {"--set", "friction_speed=0"}, "greater than 0"},
        BadInput{"NegativeDensity", {"--set", "fluid_density=-1"}, "key 'fluid_density' needs"},
        BadInput{"NegativeDiameter", {"--set", "rope_diameter=-0.01"}, "key 'rope_diameter'"},
        BadInput{"AddedMass", {"--set", "added_mass=1"}, "added mass is not supported"},
        BadInput{"PegRadiusNan", {"--set", "pegs=0.5,-0.2,nan"}, "radius greater than 0 at peg 0"},
        BadInput{"PegRadiusZero", {"--set", "pegs=0.5,-1,0.1;0.6,-1,0"}, "greater than 0 at peg 1"},
        BadInput{"PegsNotTriples", {"--set", "pegs=0.5,-0.2;1,2,3"}, "key 'pegs' needs triples"},
        BadInput{"ColumnsUnknown", {"--columns", "contact,speed"}, "got 'speed'"},
        BadInput{"ColumnsEmptyName", {"--columns", "drag,"}, "--columns needs names from"},
        BadInput{"ColumnsTwice", {"--columns", "drag,contact,drag"}, "names 'drag' twice"},
        BadInput{"StartUnderGround", {"--set", "ground_height=0.01"}, "start inside the ground"},
        BadInput{"StartInPeg", {"--set", "pegs=0.5,0.01,0.02"}, "peg 0 over the rope's start"},
        BadInput{"ModelPegsFlat", {}, "1:1: key 'pegs' needs an array of", "pegs = [0.5, -0.2, 1]"},
        BadInput{"ModelFlowThree", {}, "key 'flow' needs two numbers (x, y)", "flow = [1, 0, 0]"},
        // One number rule: no leading space in either parser.
        BadInput{"DurationLeadingSpace", {"--duration", " 5"}, "--duration needs a number"},
        BadInput{"SetLeadingSpace", {"--set", "link_mass= 0.04"}, "key 'link_mass' needs a number"},
        BadInput{"IntegratorUnknown", {"--integrator", "euler"}, "--integrator needs one of rk4"},
        BadInput{"ToleranceZero", {"--tolerance", "0"}, "--tolerance needs ABS or ABS,REL"},
        BadInput{"ToleranceNan", {"--tolerance", "1e-6,nan"}, "--tolerance needs ABS or ABS,REL"},
        BadInput{"ToleranceThree", {"--tolerance", "1e-6,1e-6,1"}, "--tolerance needs"},
        BadInput{"ToleranceBeyondDouble", {"--tolerance", "1e-300"}, "numbers from 1e-13 to 1"},
        // Unbounded input: the parser would recurse once per level, and messages would echo it.
        BadInput{"ModelDeepDottedKey",
                 {},
                 "nested deeper than 64 levels",
                 "a" + repeated(".a", 300000) + " = 1\n"},
        BadInput{"ModelDeepHeader",
                 {},
                 "nested deeper than 64 levels",
                 "[" + repeated("a.", 300000) + "a]\n"},
        BadInput{
            "ModelDeepArray", {}, "nested deeper than 64 levels", "links = " + repeated("[", 70)},
        BadInput{"ModelTooLarge",
                 {},
                 "larger than 1048576 bytes",
                 "# " + repeated("padding ", 150000) + "\n"},
        BadInput{"ModelHugeKeyCut",
                 {},
                 "unknown key '" + repeated("k", 77) + "... (100000 characters)'",
                 repeated("k", 100000) + " = 1\n"},
        BadInput{"SetHugeValueCut",
                 {"--set", "link_mass=" + repeated("9", 100000) + "x"},
                 "... (100001 characters)'"},
        BadInput{"ModelUnknownIntegrator",
                 {},
                 "model.toml:1:1: key 'integrator' needs one of",
                 "integrator = \"euler\"\n"},
        BadInput{"ModelToleranceZero", {}, "key 'tolerance' needs a number or", "tolerance = 0\n"},
        // One range for a length, from the command line or a model file.
        BadInput{"SetRopeLengthTiny",
                 {"--set", "rope_length=1e-308"},
                 "needs a number of metres from 1e-6 to 1e100, derived from 'rope_length'"},
        BadInput{"ModelRopeLengthTiny",
                 {},
                 "needs a number of metres from 1e-6 to 1e100, derived from 'rope_length'",
                 "rope_length = 1e-308\n"},
        // An output onto a file the run reads, or onto one of its own pictures.
        BadInput{"OutputOnTheModel",
                 {"--output", "MODEL"},
                 "--output and --model name the same file",
                 "links = 3\n"},
        BadInput{"OutputOnAFrame",
                 {"--frames", "FOLDER/", "--output", "FOLDER/frame_00003.png"},
                 "is one of the --frames folder's own picture files"},
        // --set comes after the model file, but a bad file is still reported.
        BadInput{"SetAfterBadModel", {"--set", "links=3"}, "unknown key 'colour'", "colour = 1"}),
    [](const testing::TestParamInfo<BadInput>& info) { return info.param.name; });

using HeadlessOutputPath = HeadlessFolders;

TEST_F(HeadlessOutputPath, UnwritablePathsAreBadInput) {
  const std::string missing_folder = scratch + "/no/such/folder/rope.csv";
  for (const std::string& path : {missing_folder, folder}) {
    const HeadlessRun run = run_headless({"--duration", "0.01", "--output", path}, scratch);
    EXPECT_EQ(run.status, 2) << path;
    EXPECT_NE(run.err.find("cannot write output"), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
  }
  EXPECT_TRUE(folder_entries(folder).empty());
}

// Only regular files are read as models: a FIFO may have no writer, a device may never end. An
// empty file is an empty model: the defaults.
TEST_F(HeadlessOutputPath, ModelMustBeARegularFile) {
  const std::string fifo = scratch + "/fifo.toml";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::vector<std::string> refused = {fifo};
  const std::string zero = scratch + "/zero.toml";
  if (mknod(zero.c_str(), S_IFCHR | 0600, makedev(1, 5)) == 0) refused.push_back(zero);
  for (const std::string& model : refused) {
    const HeadlessRun run = run_headless({"--model", model, "--duration", "0.01"}, scratch);
    EXPECT_EQ(run.status, 2) << model;
    EXPECT_NE(run.err.find("it is not a regular file"), std::string::npos) << run.err;
  }
  const std::string empty = scratch + "/empty.toml";
  std::ofstream{empty};
  const std::vector<std::string> short_run = {"--duration", "0.02", "--quiet"};
  std::vector<std::string> with_empty = short_run;
  with_empty.insert(with_empty.end(), {"--model", empty});
  const HeadlessRun defaults = run_headless(short_run, scratch);
  const HeadlessRun from_empty = run_headless(with_empty, scratch);
  EXPECT_EQ(from_empty.status, 0) << from_empty.err;
  EXPECT_EQ(from_empty.out, defaults.out);
}

TEST(HeadlessHelp, VersionIsTheProjectsAndRunsNothing) {
  const std::string scratch = make_temp_folder();
  const HeadlessRun run = run_headless({"--version", "--duration", "1e6"}, scratch);
  remove_folder(scratch);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, std::string("rope-headless ") + ROPESIM_VERSION + "\n");
}

TEST(HeadlessHelp, PrintsUsageAndSucceeds) {
  const std::string scratch = make_temp_folder();
  const HeadlessRun run = run_headless({"--help"}, scratch);
  remove_folder(scratch);
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.out.find("Usage: rope-headless"), std::string::npos);
  // Every option is listed, the picture options too, with its default where it has one.
  for (const char* option :
       {"--model FILE", "--set KEY=VALUE", "--duration SECONDS=10", "--output FILE", "--every N=1",
        "--target K=X@T", "--frames DIR", "--video FILE", "--fps N=50", "--size WxH=700x500",
        "--speed S=1", "--quiet", "--help"})
    EXPECT_NE(run.out.find(option), std::string::npos) << option;
}

}  // namespace
