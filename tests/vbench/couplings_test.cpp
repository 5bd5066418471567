// The coupling and disconnect calls that the ICT set-up sends to every module of a bench
// (rspfg, rspam, rspio2, rspmb, rspsm1..5), through their C functions on the ICT station: the
// relay state they leave, the PSM's "not connected" answer, argument checks, error texts,
// sessions bound to their bench, journal and faults.
#include "vbench/ict_station.h"

#include <vbench/bench/virtual_bench.h>
#include <vbench/modules/relay_module.h>

#include <rspam.h>
#include <rspfg.h>
#include <rspio2.h>
#include <rspmb.h>
#include <rspsm.h>

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

namespace kora::vbench {
namespace {

// The five PSM drivers side by side.
struct PsmDriver {
    const char* interface;
    const char* device;
    const char* resource;
    ViStatus (*init)(ViRsrc, ViBoolean, ViBoolean, ViConstString, ViSession*);
    ViStatus (*close)(ViSession);
    ViStatus (*connect)(ViSession, ViConstString, ViConstString);
    ViStatus (*disconnect)(ViSession, ViConstString, ViConstString);
    ViStatus (*message)(ViSession, ViStatus, ViChar*);
    ViStatus (*revision)(ViSession, ViChar*, ViChar*);
};

const PsmDriver kPsm[] = {
    {"rspsm1", "PSM1", "CAN0::0::9", rspsm1_InitWithOptions, rspsm1_close, rspsm1_Connect,
     rspsm1_Disconnect, rspsm1_error_message, rspsm1_revision_query},
    {"rspsm2", "PSM2", "CAN0::0::10", rspsm2_InitWithOptions, rspsm2_close, rspsm2_Connect,
     rspsm2_Disconnect, rspsm2_error_message, rspsm2_revision_query},
    {"rspsm3", "PSM3", "CAN0::0::11", rspsm3_InitWithOptions, rspsm3_close, rspsm3_Connect,
     rspsm3_Disconnect, rspsm3_error_message, rspsm3_revision_query},
    {"rspsm4", "PSM4", "CAN0::0::12", rspsm4_InitWithOptions, rspsm4_close, rspsm4_Connect,
     rspsm4_Disconnect, rspsm4_error_message, rspsm4_revision_query},
    {"rspsm5", "PSM5", "CAN0::0::13", rspsm5_InitWithOptions, rspsm5_close, rspsm5_Connect,
     rspsm5_Disconnect, rspsm5_error_message, rspsm5_revision_query},
};

// The pairs in the order the ICT set-up disconnects them.
constexpr std::array<std::array<const char*, 2>, 8> kPairs = {{{"LABa1", "ABa1"},
                                                               {"LABb1", "ABb1"},
                                                               {"LABc1", "ABc1"},
                                                               {"LABd1", "ABd1"},
                                                               {"LABa2", "ABa2"},
                                                               {"LABb2", "ABb2"},
                                                               {"LABc2", "ABc2"},
                                                               {"LABd2", "ABd2"}}};

class VbenchCouplings : public testing::IctStation {
  protected:
    void SetUp() override {
        IctStation::SetUp();
        ASSERT_EQ(rspfg_InitWithOptions("CAN0::0::5", 1, 1, "", &pfg_), VI_SUCCESS);
        ASSERT_EQ(rspam_InitWithOptions("CAN0::0::6", 1, 1, "", &pam_), VI_SUCCESS);
        ASSERT_EQ(rspio2_InitWithOptions("CAN0::0::7", 1, 1, "", &pio2_), VI_SUCCESS);
        ASSERT_EQ(rspmb_InitWithOptions("CAN0::0::8", 1, 1, "", &pmb_), VI_SUCCESS);
        for (std::size_t i = 0; i < std::size(kPsm); ++i) {
            ASSERT_EQ(kPsm[i].init(kPsm[i].resource, 1, 1, "", &psm_[i]), VI_SUCCESS);
        }
    }
    void TearDown() override {
        for (std::size_t i = 0; i < std::size(kPsm); ++i) {
            kPsm[i].close(psm_[i]);
        }
        rspmb_close(pmb_);
        rspio2_close(pio2_);
        rspam_close(pam_);
        rspfg_close(pfg_);
        IctStation::TearDown();
    }

    // The ICT set-up's opening of every module, in its order, with the results it would judge:
    // a PSM disconnect of a pair that is not connected counts as success.
    std::vector<ViStatus> OpenEverything() {
        std::vector<ViStatus> results;
        results.push_back(ZQsm160_hscDisconnectAll(sm_));
        results.push_back(rspsam_ConfigureCoupling(psam_, 0));
        results.push_back(rspsu_ConfigureCoupling(psu_, 0));
        results.push_back(rspio2_ConfigureCoupling(pio2_, 0));
        results.push_back(rspfg_ConfigureCoupling(pfg_, 0));
        results.push_back(rspam_ConfigureCoupling(pam_, 0));
        results.push_back(rspmb_DisconnectAll(pmb_));
        for (std::size_t i = 0; i < std::size(kPsm); ++i) {
            for (const auto& p : kPairs) {
                results.push_back(kPsm[i].disconnect(psm_[i], p[0], p[1]));
            }
        }
        return results;
    }

    RelayModule& Relays(const char* kind, const char* device) {
        return RelayModuleOf(*bench_, kind, device);
    }

  public:
    ViSession pfg_ = 0, pam_ = 0, pio2_ = 0, pmb_ = 0;
    std::array<ViSession, 5> psm_{};
};

TEST_F(VbenchCouplings, IctSetupLeavesEveryRelayOpen) {
    Ok(rspfg_ConfigureCoupling(pfg_, 0x0F), "pfg");
    Ok(rspam_ConfigureCoupling(pam_, 0xFF), "pam");
    Ok(rspio2_ConfigureCoupling(pio2_, 0x11), "pio2");
    Ok(kPsm[2].connect(psm_[2], "LABa1", "ABa1"), "psm3 a1");
    Ok(kPsm[4].connect(psm_[4], "labd2", "abd2"), "psm5 d2, any case");
    EXPECT_EQ(Relays("rspfg", "PFG1").coupling, 0x0F);
    EXPECT_EQ(Relays("rspam", "PAM1").coupling, 0xFF);
    EXPECT_EQ(Relays("rspio2", "PIO2_1").coupling, 0x11);
    EXPECT_EQ(Relays("rspsm3", "PSM3").closed.count("LABA1-ABA1"), 1u);

    const std::vector<ViStatus> results = OpenEverything();
    // Every call succeeds, but for the PSM pairs that were not connected.
    const std::size_t firstPsm = 7;
    for (std::size_t k = 0; k < results.size(); ++k) {
        const bool psm = k >= firstPsm;
        const std::size_t module = psm ? (k - firstPsm) / kPairs.size() : 0;
        const std::size_t pair = psm ? (k - firstPsm) % kPairs.size() : 0;
        const bool wasConnected = psm && ((module == 2 && pair == 0) || (module == 4 && pair == 7));
        const ViStatus expected = psm && !wasConnected ? RSPSM_ERROR_NOT_CONNECTED : VI_SUCCESS;
        EXPECT_EQ(results[k], expected) << "call " << k;
    }
    EXPECT_EQ(Relays("rspfg", "PFG1").coupling, 0);
    EXPECT_EQ(Relays("rspam", "PAM1").coupling, 0);
    EXPECT_EQ(Relays("rspio2", "PIO2_1").coupling, 0);
    for (const auto& psm : kPsm) {
        EXPECT_TRUE(Relays(psm.interface, psm.device).closed.empty()) << psm.device;
    }
    // A second set-up finds everything open already.
    const std::vector<ViStatus> again = OpenEverything();
    EXPECT_EQ(std::count(again.begin(), again.end(), RSPSM_ERROR_NOT_CONNECTED), 40);
}

TEST_F(VbenchCouplings, ArgumentChecksAndErrorTexts) {
    struct Bad {
        const char* what;
        ViStatus (*call)(ViSession);
        ViStatus (*message)(ViSession, ViStatus, ViChar*);
        ViStatus code;
        const char* text;
    } bad[] = {
        {"PFG coupling 0x100", [](ViSession vi) { return rspfg_ConfigureCoupling(vi, 0x100); },
         rspfg_error_message, static_cast<ViStatus>(0xBFFA4011), "Value out of range"},
        {"PAM coupling -1", [](ViSession vi) { return rspam_ConfigureCoupling(vi, -1); },
         rspam_error_message, static_cast<ViStatus>(0xBFFA4011), "Value out of range"},
        {"PAM path 2",
         [](ViSession vi) {
             ViInt32 s = 0;
             return rspam_AcquisitionStatusPath(vi, 2, &s);
         },
         rspam_error_message, static_cast<ViStatus>(0xBFFA4011), "Value out of range"},
        {"PIO2 coupling 0x1FF", [](ViSession vi) { return rspio2_ConfigureCoupling(vi, 0x1FF); },
         rspio2_error_message, static_cast<ViStatus>(0xBFFA401E),
         "Invalid coupling mask (0 to 0xFF)"},
        {"PSM1 line onto another bus line",
         [](ViSession vi) { return rspsm1_Connect(vi, "LABa1", "ABb1"); }, rspsm1_error_message,
         static_cast<ViStatus>(0xBFFA401D),
         "Invalid line pair: a matrix line LABa1..LABd2 and its bus line ABa1..ABd2"},
        {"PSM2 pair not connected",
         [](ViSession vi) { return rspsm2_Disconnect(vi, "LABc2", "ABc2"); }, rspsm2_error_message,
         RSPSM_ERROR_NOT_CONNECTED, "The matrix line is not connected to the bus line"},
        {"PMB session not open", [](ViSession vi) { return rspmb_DisconnectAll(vi + 1000); },
         rspmb_error_message, static_cast<ViStatus>(0xBFFA4001), "Invalid session handle"},
    };
    const ViSession sessions[] = {pfg_, pam_, pam_, pio2_, psm_[0], psm_[1], pmb_};
    for (std::size_t k = 0; k < std::size(bad); ++k) {
        const auto& b = bad[k];
        EXPECT_EQ(b.call(sessions[k]), b.code) << b.what;
        ViChar text[VI_ERROR_MESSAGE_SIZE] = {};
        Ok(b.message(sessions[k], b.code, text), "message");
        EXPECT_STREQ(text, b.text) << b.what;
    }
    // The PAM has acquired nothing on either path.
    for (ViInt32 path : {0, 1}) {
        ViInt32 status = 99;
        Ok(rspam_AcquisitionStatusPath(pam_, path, &status), "status");
        EXPECT_EQ(status, RSPAM_ACQ_UNKNOWN);
    }
    ViChar driver[VI_REVISION_SIZE] = {}, firmware[VI_REVISION_SIZE] = {};
    Ok(kPsm[3].revision(psm_[3], driver, firmware), "revision");
    EXPECT_STREQ(driver, "rspsm4 virtual bench 1.0");
}

// Handles belong to the bench they were opened on; descriptors must name a device of the
// station unless the driver options simulate one.
TEST_F(VbenchCouplings, SessionsBelongToTheirBenchAndStation) {
    ViSession vi = 0;
    EXPECT_EQ(rspfg_InitWithOptions("CAN0::0::16", 1, 1, "", &vi),
              static_cast<ViStatus>(0xBFFF0011));
    EXPECT_EQ(rspfg_InitWithOptions("CAN0::0::16", 1, 1, "Simulate=1", &vi), VI_SUCCESS);
    Ok(rspfg_ConfigureCoupling(vi, 0x03), "simulated PFG");
    EXPECT_EQ(Relays("rspfg", "CAN0::0::16").coupling, 0x03);
    Ok(rspfg_close(vi), "close");
    EXPECT_EQ(rspfg_ConfigureCoupling(vi, 0), static_cast<ViStatus>(0xBFFA4001));

    auto other = std::make_shared<VirtualBench>();
    other->loadStation(LoadStation(testing::VbenchDataDir() + "ict_station.ini"));
    VirtualBench::activate(other);
    EXPECT_EQ(rspsm3_Connect(psm_[2], "LABa1", "ABa1"), static_cast<ViStatus>(0xBFFA4001))
        << "a session of the first bench";
    ViSession there = 0;
    Ok(rspsm3_InitWithOptions("CAN0::0::11", 1, 1, "", &there), "open on the second bench");
    Ok(rspsm3_Connect(there, "LABa1", "ABa1"), "connect there");
    EXPECT_EQ(RelayModuleOf(*other, "rspsm3", "PSM3").closed.size(), 1u);
    rspsm3_close(there);
    VirtualBench::activate(bench_);
    EXPECT_TRUE(Relays("rspsm3", "PSM3").closed.empty()) << "the first bench's PSM3 untouched";
}

TEST_F(VbenchCouplings, JournalAndInjectedFaults) {
    struct Case {
        const char* function;
        ViStatus (*call)(VbenchCouplings&);
        ViStatus (*message)(ViSession, ViStatus, ViChar*);
        ViSession VbenchCouplings::*session;
        const char* moreArguments; // after the session
    } cases[] = {
        {"rspfg_ConfigureCoupling",
         [](VbenchCouplings& t) { return rspfg_ConfigureCoupling(t.pfg_, 0x30); },
         rspfg_error_message, &VbenchCouplings::pfg_, ", 0x30"},
        {"rspam_ConfigureCoupling",
         [](VbenchCouplings& t) { return rspam_ConfigureCoupling(t.pam_, 0); }, rspam_error_message,
         &VbenchCouplings::pam_, ", 0x0"},
        {"rspio2_ConfigureCoupling",
         [](VbenchCouplings& t) { return rspio2_ConfigureCoupling(t.pio2_, 0xC0); },
         rspio2_error_message, &VbenchCouplings::pio2_, ", 0xc0"},
        {"rspmb_DisconnectAll", [](VbenchCouplings& t) { return rspmb_DisconnectAll(t.pmb_); },
         rspmb_error_message, &VbenchCouplings::pmb_, ""},
    };
    const auto code = static_cast<ViStatus>(0xBFFA4F40);
    for (const auto& c : cases) {
        bench_->journal().clear();
        bench_->faults().reset();
        bench_->faults().add({c.function, 2, false, code, std::string(c.function) + " failed"});
        EXPECT_EQ(c.call(*this), VI_SUCCESS) << c.function << ": the first call";
        EXPECT_EQ(c.call(*this), code) << c.function << ": the second call fails";
        EXPECT_EQ(c.call(*this), VI_SUCCESS) << c.function << ": once only";
        ViChar text[VI_ERROR_MESSAGE_SIZE] = {};
        Ok(c.message(this->*c.session, code, text), "message");
        EXPECT_EQ(std::string(text), std::string(c.function) + " failed");
        const auto calls = bench_->journal().calls(c.function);
        ASSERT_EQ(calls.size(), 3u) << c.function;
        EXPECT_TRUE(calls[1].injected);
        EXPECT_EQ(calls[0].arguments, std::to_string(this->*c.session) + c.moreArguments);
    }
    // The PSM's disconnect as the set-up journals it.
    bench_->journal().clear();
    kPsm[0].disconnect(psm_[0], "LABb1", "ABb1");
    const auto last = bench_->journal().last("rspsm1_Disconnect");
    ASSERT_TRUE(last.has_value());
    EXPECT_EQ(last->arguments, std::to_string(psm_[0]) + ", \"LABb1\", \"ABb1\"");
    EXPECT_EQ(last->result, RSPSM_ERROR_NOT_CONNECTED);
    EXPECT_EQ(last->interface, "rspsm1");
}

} // namespace
} // namespace kora::vbench
