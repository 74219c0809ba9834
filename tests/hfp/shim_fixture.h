// Each test gets its own shim folder and a simulated phone in range there;
// the product's globals point at that phone.
#pragma once
#include "app/text.h"
#include "connection/device.h"
#include "harness.h"
#include "hfp/hfp.h"
#include "simphone.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

class ShimTest : public testing::Test {
protected:
    static constexpr const char* kPhone = "00:11:22:33:44:55";

    void SetUp() override
    {
        setenv("TELVANE_BT_SHIM_DIR", dir.path().c_str(), 1);
        copy_text(device_addr, kPhone);
        hfp_channel = 0;
        hfp_reply_timeout_ms = 3000;
        phone = std::make_unique<sim::SimPhone>(dir.path(), kPhone);
    }
    void TearDown() override
    {
        phone.reset();
        unsetenv("TELVANE_BT_SHIM_DIR");
        device_addr[0] = '\0';
        hfp_channel = 0;
    }

    th::TempDir dir;
    std::unique_ptr<sim::SimPhone> phone;
};
