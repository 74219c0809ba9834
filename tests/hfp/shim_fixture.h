// Each test gets its own shim folder with a simulated phone in range there, which the product's globals point at.
#pragma once
#include "core/text.h"
#include "store/phone_record.h"
#include "harness.h"
#include "hfp/hfp.h"
#include "simphone.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

class ShimTest : public testing::Test {
protected:
    static constexpr const char* kPhone = "00:11:22:33:44:55";

    void SetUp() override
    {
        setenv("TELVANE_BT_SHIM_DIR", dir.path().c_str(), 1);
        copy_text(device_addr, kPhone);
        phone = std::make_unique<sim::SimPhone>(dir.path(), kPhone);
    }
    void TearDown() override
    {
        phone.reset();
        unsetenv("TELVANE_BT_SHIM_DIR");
    }

    th::TempDir dir;
    std::unique_ptr<sim::SimPhone> phone;
};
