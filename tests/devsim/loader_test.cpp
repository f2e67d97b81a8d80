// The device knows the installer's loader images by their CRC-32: the one written last decides
// the "verflag" it reports from its next reboot on, and a loader can be made to fail its checks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core_driver.h"
#include "payload/payload.h"

namespace devsim_test {
namespace {

std::vector<uint8_t> image_bytes(const char* name) {
    const payload_image* img = payload_find(name);
    EXPECT_NE(img, nullptr) << name;
    return {img->bytes, img->bytes + img->size};
}

std::string verflag_after_reboot(CoreDriver& d) {
    d.send(cmd("reboot"));
    return d.answer("getvar:verflag");
}

TEST(Loaders, EachImageWalksTheDeviceOneStepUpTheChain) {
    // partition, image, the verflag it brings by default
    const struct {
        const char* partition;
        const char* image;
        const char* verflag;
    } chain[] = {
        {"xloader_belto", "porter", "OKAY9.0"},
        {"xzprod", "porter1", "OKAY9.9"},
        {"xzprod", "porter2", "OKAYA.9"},
        {"xzprod", "porter3", "OKAYY01"},
        {"xzprod", "loader_belto", "OKAYZ07"},
        {"prod", "loader_tiva", "OKAYZ05"},
        {"bootloader", "loader_quessel", "OKAYZ05"},
    };
    auto cfg = test_device();
    cfg.vars["verflag"] = "8.0";
    CoreDriver d(cfg);
    std::string before = "OKAY8.0";
    for (const auto& step : chain) {
        SCOPED_TRACE(step.image);
        ASSERT_EQ(d.flash(step.partition, image_bytes(step.image)), "OKAY");
        EXPECT_EQ(d.answer("getvar:verflag"), before) << "not before the reboot";
        EXPECT_EQ(verflag_after_reboot(d), step.verflag);
        before = step.verflag;
    }
}

TEST(Loaders, OtherBytesOrAConfiguredVerflag) {
    auto cfg = test_device();
    cfg.vars["verflag"] = "8.0";
    cfg.loader_verflags["porter"] = "8.5";
    CoreDriver d(cfg);
    // same size as porter, other bytes: not a loader the device knows
    std::vector<uint8_t> other = image_bytes("porter");
    other[100] ^= 1;
    ASSERT_EQ(d.flash("xloader_belto", other), "OKAY");
    EXPECT_EQ(verflag_after_reboot(d), "OKAY8.0");
    ASSERT_EQ(d.flash("xloader_belto", image_bytes("porter")), "OKAY");
    EXPECT_EQ(verflag_after_reboot(d), "OKAY8.5");
    // once run, it stays: a further reboot changes nothing
    EXPECT_EQ(verflag_after_reboot(d), "OKAY8.5");
}

TEST(Loaders, ConfiguredCheckFailuresComeFirst) {
    auto cfg = test_device();
    cfg.loader_check_fails["porter1"] = 2;
    CoreDriver d(cfg);
    const payload_image& img = *payload_find("porter1");
    const std::string check = "check:xzprod 0 " + hex(img.size) + " " + std::string(img.crc);
    ASSERT_EQ(d.flash("xzprod", image_bytes("porter1")), "OKAY");
    EXPECT_EQ(d.answer(check), "FAILcrc mismatch");
    ASSERT_EQ(d.flash("xzprod", image_bytes("porter1")), "OKAY");
    EXPECT_EQ(d.answer(check), "FAILcrc mismatch");
    EXPECT_EQ(d.answer(check), "OKAY");
    // another image in another partition is not affected
    ASSERT_EQ(d.flash("xloader_belto", image_bytes("porter")), "OKAY");
    EXPECT_EQ(d.answer("check:xloader_belto 41000 " + hex(porter_size) + " " + porter_crc), "OKAY");
}

}  // namespace
}  // namespace devsim_test
