// The gadget front-end's own logic: the FunctionFS descriptors, the placeholders a controller
// needs, the configfs set-up and its undoing, and what a machine without a gadget is told.
// The front-end itself runs in the VM test (scripts/vm/gadget.sh), on dummy_hcd.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "sim/gadget_frontend.h"

using namespace vxsim;

namespace {

uint32_t Le32(const std::vector<uint8_t>& d, size_t at) {
  return uint32_t(d[at]) | uint32_t(d[at + 1]) << 8 | uint32_t(d[at + 2]) << 16 | uint32_t(d[at + 3]) << 24;
}

struct DescriptorCase {
  const char* pszName;
  GadgetPlaceholders placeholders;
  std::vector<uint8_t> addresses;  // the endpoints in the order declared, the endpoint files' order
};

void PrintTo(const DescriptorCase& c, std::ostream* pOut) { *pOut << c.pszName; }

class GadgetDescriptors : public ::testing::TestWithParam<DescriptorCase> {};

// Both speeds: the interface, then the placeholders and the locator's endpoints, all bulk,
// 64-byte packets at full speed and 512 at high speed; the header counts them.
TEST_P(GadgetDescriptors, DeclareTheInterfaceThenEveryEndpointAtBothSpeeds) {
  const DescriptorCase& c = GetParam();
  const std::vector<uint8_t> d = FunctionFsDescriptors(c.placeholders);
  const uint32_t count = uint32_t(c.addresses.size());
  const size_t perSpeed = 9 + 7 * count;
  ASSERT_EQ(d.size(), 20 + 2 * perSpeed);
  EXPECT_EQ(Le32(d, 0), 3u);  // FUNCTIONFS_DESCRIPTORS_MAGIC_V2
  EXPECT_EQ(Le32(d, 4), d.size());
  EXPECT_EQ(Le32(d, 8), 3u);  // full- and high-speed descriptors
  EXPECT_EQ(Le32(d, 12), 1 + count);
  EXPECT_EQ(Le32(d, 16), 1 + count);
  for (const auto& [at, packet] : {std::pair<size_t, uint16_t>{20, 64}, {20 + perSpeed, 512}}) {
    EXPECT_EQ(std::vector<uint8_t>(d.begin() + at, d.begin() + at + 9),
              (std::vector<uint8_t>{9, 4, 0, 0, uint8_t(count), 0xFF, 0, 0, 0}));
    for (uint32_t i = 0; i < count; ++i) {
      const size_t e = at + 9 + 7 * i;
      EXPECT_EQ(std::vector<uint8_t>(d.begin() + e, d.begin() + e + 7),
                (std::vector<uint8_t>{7, 5, c.addresses[i], 2, uint8_t(packet), uint8_t(packet >> 8), 0}))
          << "endpoint " << i << " at " << packet;
    }
  }
  EXPECT_EQ(LocatorOutFile(c.placeholders), count - 1);
  EXPECT_EQ(LocatorInFile(c.placeholders), count);
}

INSTANTIATE_TEST_SUITE_P(
    Placeholders, GadgetDescriptors,
    ::testing::Values(DescriptorCase{"None", {0, 0}, {0x02, 0x82}},
                      DescriptorCase{"DummyHcd", {3, 0}, {0x81, 0x83, 0x84, 0x02, 0x82}},
                      DescriptorCase{"Dwc2", {1, 1}, {0x01, 0x81, 0x02, 0x82}},
                      DescriptorCase{"MostThereIsRoomFor", {7, 6},
                                     {0x01, 0x03, 0x04, 0x05, 0x06, 0x07, 0x81, 0x83, 0x84, 0x85, 0x86, 0x87,
                                      0x88, 0x02, 0x82}}),
    [](const auto& info) { return std::string(info.param.pszName); });

TEST(GadgetPlaceholderChoice, ByDriverOrAsGiven) {
  EXPECT_EQ(PlaceholdersForDriver("dummy_udc"), (GadgetPlaceholders{3, 0}));
  EXPECT_EQ(PlaceholdersForDriver("dwc2"), (GadgetPlaceholders{1, 1}));
  EXPECT_EQ(PlaceholdersForDriver("dwc3"), (GadgetPlaceholders{1, 1}));
  EXPECT_EQ(PlaceholdersForDriver("musb-hdrc"), (GadgetPlaceholders{0, 0}));
  EXPECT_EQ(ParsePlaceholders("2,1"), (GadgetPlaceholders{2, 1}));
  EXPECT_EQ(ParsePlaceholders("0,13"), (GadgetPlaceholders{0, 13}));
  for (const char* bad : {"", "2", "2,", ",1", "2,1,0", "-1,2", "2;1", "7,7", "a,b", "2,1x"})
    EXPECT_FALSE(ParsePlaceholders(bad).has_value()) << bad;
  EXPECT_EQ(FunctionFsStrings(), (std::vector<uint8_t>{2, 0, 0, 0, 16, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

struct ChoiceCase {
  const char* pszName;
  GadgetHostFacts facts;
  std::string controller;
  std::string errorPart;  // in the error text
};

void PrintTo(const ChoiceCase& c, std::ostream* pOut) { *pOut << c.pszName; }

class GadgetController : public ::testing::TestWithParam<ChoiceCase> {};

TEST_P(GadgetController, IsTheOneNamedOrTheOnlyOneElseWhatIsMissingIsSaid) {
  const ChoiceCase& c = GetParam();
  const GadgetChoice got = ChooseController(c.facts);
  EXPECT_EQ(got.controller, c.controller);
  if (c.errorPart.empty()) {
    EXPECT_EQ(got.error, "");
  } else {
    EXPECT_NE(got.error.find(c.errorPart), std::string::npos) << got.error;
  }
}

GadgetHostFacts Ready(std::vector<std::string> controllers, std::string wanted = {}) {
  return {true, true, true, true, std::move(controllers), std::move(wanted)};
}

INSTANTIATE_TEST_SUITE_P(
    Facts, GadgetController,
    ::testing::Values(
        ChoiceCase{"TheOnlyOne", Ready({"dummy_udc.0"}), "dummy_udc.0", ""},
        ChoiceCase{"TheNamedOne", Ready({"dummy_udc.0", "fe980000.usb"}, "fe980000.usb"), "fe980000.usb", ""},
        ChoiceCase{"NotRoot", {false, true, true, true, {"dummy_udc.0"}, ""}, "", "needs root"},
        ChoiceCase{"NoConfigfs", {true, false, false, false, {}, ""}, "", "modprobe configfs"},
        ChoiceCase{"ConfigfsNotMounted", {true, true, false, false, {"dummy_udc.0"}, ""}, "",
                   "mount -t configfs none /sys/kernel/config"},
        ChoiceCase{"NoLibcomposite", {true, true, true, false, {"dummy_udc.0"}, ""}, "", "modprobe libcomposite"},
        ChoiceCase{"NoController", Ready({}), "", "dtoverlay=dwc2,dr_mode=peripheral"},
        ChoiceCase{"NamedOneMissing", Ready({"dummy_udc.0"}, "fe980000.usb"), "",
                   "no USB device controller \"fe980000.usb\"; present: dummy_udc.0"},
        ChoiceCase{"SeveralUnnamed", Ready({"dummy_udc.0", "dummy_udc.1"}), "",
                   "choose one with --udc; present: dummy_udc.0, dummy_udc.1"}),
    [](const auto& info) { return std::string(info.param.pszName); });

size_t IndexOf(const std::vector<GadgetStep>& steps, const std::string& pathEnd) {
  const auto it = std::find_if(steps.begin(), steps.end(), [&](const GadgetStep& s) {
    return s.path.size() >= pathEnd.size() && s.path.compare(s.path.size() - pathEnd.size(), pathEnd.size(), pathEnd) == 0;
  });
  return size_t(it - steps.begin());
}

// The gadget's attributes as the usbredir front-end reports the device, each directory made
// before what goes into it, the function linked into the configuration once it exists and
// FunctionFS mounted last (its instance must exist).
TEST(GadgetSetup, MakesTheGadgetInTheOrderConfigfsNeeds) {
  for (const uint16_t product : {uint16_t(9), uint16_t(1)}) {
    GadgetLayout layout;
    layout.productId = product;
    const std::vector<GadgetStep> s = GadgetSetupSteps(layout);
    const std::string g = "/sys/kernel/config/usb_gadget/vx_locator";
    ASSERT_EQ(s.front(), (GadgetStep{GadgetStep::kMkdir, g, ""}));
    const auto value = [&](const std::string& leaf) {
      const size_t i = IndexOf(s, leaf);
      return i < s.size() && s[i].kind == GadgetStep::kWrite ? s[i].value : std::string("(none)");
    };
    EXPECT_EQ(value("/idVendor"), "0x3a7c");
    EXPECT_EQ(value("/idProduct"), product == 9 ? "0x0009" : "0x0001");
    EXPECT_EQ(value("/bDeviceClass"), "0xff");
    EXPECT_EQ(value("/max_speed"), "high-speed");
    EXPECT_EQ(value("/strings/0x409/manufacturer"), "Quenby Ltd");
    EXPECT_EQ(value("/strings/0x409/product"),
              product == 9 ? "Kessan USB Loader (simulated)" : "Dorrin C6748 (simulated)");
    EXPECT_EQ(value("/configs/c.1/MaxPower"), "100");
    EXPECT_EQ(value("/configs/c.1/bmAttributes"), "0x80");
    EXPECT_EQ(value("/UDC"), "(none)");  // binding is the plug, not the set-up
    // (configfs makes strings/, configs/ and functions/ with the gadget.)
    for (size_t i = 1; i < s.size(); ++i) {
      const size_t parent = IndexOf(s, s[i].path.substr(0, s[i].path.rfind('/')));
      if (parent < s.size()) {
        EXPECT_LT(parent, i) << s[i].path << " before its directory";
      }
    }
    const size_t link = IndexOf(s, "/configs/c.1/ffs.vx_locator");
    ASSERT_LT(link, s.size());
    EXPECT_EQ(s[link], (GadgetStep{GadgetStep::kSymlink, g + "/configs/c.1/ffs.vx_locator", g + "/functions/ffs.vx_locator"}));
    EXPECT_LT(IndexOf(s, "/functions/ffs.vx_locator"), link);
    EXPECT_EQ(s.back(), (GadgetStep{GadgetStep::kMount, "/dev/ffs-vx_locator", "vx_locator"}));
  }
  GadgetLayout old;
  old.bMaxSpeed = false;
  const std::vector<GadgetStep> s = GadgetSetupSteps(old);
  EXPECT_EQ(IndexOf(s, "/max_speed"), s.size());
}

// Undoing runs back from the last step done: unmount, unlink, remove the directories; the
// written attributes go with their directories. A set-up that failed at step k undoes the
// k steps before it, and nothing when it failed at the first.
TEST(GadgetSetup, IsUndoneLastStepFirst) {
  const std::vector<GadgetStep> s = GadgetSetupSteps(GadgetLayout{});
  const std::vector<GadgetStep> all = GadgetUndoSteps(s, s.size());
  std::vector<std::string> paths;
  for (const GadgetStep& u : all) {
    EXPECT_NE(u.kind, GadgetStep::kWrite);
    paths.push_back(u.path.substr(u.path.rfind('/') + 1) + (u.kind == GadgetStep::kMount ? " (mount)" : ""));
  }
  EXPECT_EQ(paths, (std::vector<std::string>{"ffs-vx_locator (mount)", "ffs-vx_locator", "ffs.vx_locator", "ffs.vx_locator",
                                             "c.1", "0x409", "vx_locator"}));
  EXPECT_EQ(all[2].kind, GadgetStep::kSymlink);  // the link before the function it names
  const size_t function = IndexOf(s, "/functions/ffs.vx_locator");
  const std::vector<GadgetStep> partial = GadgetUndoSteps(s, function);  // the function could not be made
  ASSERT_EQ(partial.size(), 3u);
  EXPECT_EQ(partial[0].path, "/sys/kernel/config/usb_gadget/vx_locator/configs/c.1");
  EXPECT_EQ(partial[2].path, "/sys/kernel/config/usb_gadget/vx_locator");
  EXPECT_TRUE(GadgetUndoSteps(s, 0).empty());
}

}  // namespace
