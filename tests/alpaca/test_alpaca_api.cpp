// The Alpaca API without sockets, written from the Alpaca API reference and the ISwitchV3
// interface: every Switch member and common member against a filter whose record we set, the
// error numbers, malformed requests (HTTP 400, nothing for a filter), the bytes a write sends,
// the management API, and the small parsers of discovery and the Host check.
#include "alpaca/alpaca_api.h"
#include "link/remote_link.h"
#include "alpaca/discovery.h"
#include "alpaca/host_rules.h"
#include "alpaca/http_server.h"
#include "alpaca/switches.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstring>
#include <regex>
#include <string>

namespace {

using Json = nlohmann::json;

// Filter 1 connected (H-a 0.7A PRO, awake, on band, 0.3 A into the red wing, panel locked),
// filter 2 configured but not connected, slots 3 and 4 without a port.
ServerView filter_view()
{
    ServerView view;
    const char* ports[] = {"COM1", "COM2"};
    for (int n = 0; n < 2; ++n) {
        view.slot[n].configured = 1;
        copy_text(view.slot[n].port_name, PORT_NAME_SIZE, ports[n], PORT_NAME_SIZE - 1);
    }
    FilterRecord& r = view.slot[0].record;
    r.connected = 1;
    r.center_wavelength = 6562.8;
    r.wavelength = 6563.1;
    r.wing_shift = 0.3;
    r.sleeping = 0;
    r.on_band = 1;
    r.panel_locked = 1;
    r.temperature = 212;
    r.heater_power = 42.5;
    copy_text(r.bandwidth_text, BANDWIDTH_TEXT_SIZE, "0.7A", 10);
    copy_text(r.edition_text, EDITION_TEXT_SIZE, "PRO", 10);
    copy_text(r.model_text, MESSAGE_TEXT_SIZE, "Solvane 60", 30);
    copy_text(r.serial_number_text, SERIAL_NUMBER_TEXT_SIZE, "SV-1", 10);
    for (int n = 0; n < SLOT_COUNT; ++n) view.unique_ids[n] = unique_device_id("test-machine", n);
    view.location = "dome";
    return view;
}

ApiAnswer ask(const std::string& method, const std::string& path, const ApiParams& params = {})
{
    return answer_api_request(ApiRequest{method, path, params}, filter_view());
}

std::string device_path(int device, const std::string& member)
{
    return "/api/v1/switch/" + std::to_string(device) + "/" + member;
}

struct MemberRow {
    const char* name;
    const char* method;
    int device;
    const char* member;
    ApiParams params;
    int error;           // the ErrorNumber
    const char* value;   // the Value as JSON text, or nullptr when none is expected
};

// Rows print as their names, so the test list stays readable.
void PrintTo(const MemberRow& row, std::ostream* out) { *out << row.name; }

// The record action: the server's copy as a served slot reads it, for a connected filter and an
// unconnected one; the interval a client asks for is kept as long as it keeps asking.
TEST(RecordAction, CarriesTheServersCopyAndKeepsTheClientsInterval)
{
    ClientIntervals asked;
    ServerView view = filter_view();
    view.intervals = &asked;
    for (int device = 0; device < 2; ++device) {
        const ApiAnswer answer = answer_api_request(
            ApiRequest{"PUT", device_path(device, "action"), {{"Action", "record"}, {"Parameters", "1000"}}}, view);
        ASSERT_EQ(answer.write, WRITE_NONE);
        const Json reply = Json::parse(answer.body);
        ASSERT_EQ(reply["ErrorNumber"], 0) << answer.body;
        FilterRecord read;
        ASSERT_EQ(read_record_json(reply["Value"].get<std::string>(), read), 1) << answer.body;
        EXPECT_EQ(record_json(read), record_json(view.slot[device].record));
    }
    const auto now = std::chrono::steady_clock::now();
    EXPECT_EQ(shortest_client_interval(asked, 5000, now), 1000);
    ClientIntervals intervals;
    struct Row {
        int asked_ms;      // -1: nothing asked in this step
        double after_s;    // when the server looks, from now
        int polls_at_ms;   // with its own interval of 5000 ms
    } rows[] = {{-1, 0, 5000}, {1000, 0, 1000}, {300, 1, 1000}, {2000, 2, 1000}, {-1, 7.5, 1000}, {-1, 8.5, 2000},
                {-1, 11.5, 5000}, {30000, 12, 5000}};
    for (const Row& row : rows) {
        const auto at = now + std::chrono::milliseconds(static_cast<int>(row.after_s * 1000));
        if (row.asked_ms >= 0) client_interval_asked(intervals, row.asked_ms, at);
        EXPECT_EQ(shortest_client_interval(intervals, 5000, at), row.polls_at_ms) << row.after_s;
    }
}

class EveryMember : public ::testing::TestWithParam<MemberRow> {};

TEST_P(EveryMember, AnswersAsTheStandardSays)
{
    const MemberRow& row = GetParam();
    ApiAnswer answer = ask(row.method, device_path(row.device, row.member), row.params);
    ASSERT_EQ(answer.http_status, 200) << answer.body;
    ASSERT_EQ(answer.write, WRITE_NONE);
    EXPECT_EQ(answer.content_type, "application/json; charset=utf-8");
    Json reply = Json::parse(answer.body);
    EXPECT_EQ(reply["ErrorNumber"], row.error) << answer.body;
    EXPECT_EQ(reply["ErrorMessage"].get<std::string>().empty(), row.error == 0) << answer.body;
    if (row.value != nullptr) {
        EXPECT_EQ(reply["Value"], Json::parse(row.value)) << answer.body;
    } else {
        EXPECT_FALSE(reply.contains("Value")) << answer.body;
    }
}

ApiParams id(int n) { return {{"Id", std::to_string(n)}}; }

INSTANTIATE_TEST_SUITE_P(
    AlpacaSwitchAndCommonMembers, EveryMember,
    ::testing::Values(
        MemberRow{"MaxSwitchCountsNineSwitches", "GET", 0, "maxswitch", {}, 0, "9"},
        MemberRow{"TheHeaterIsWritable", "GET", 0, "canwrite", id(0), 0, "true"},
        MemberRow{"TheWingShiftIsWritable", "GET", 0, "canwrite", id(1), 0, "true"},
        MemberRow{"TheStatusIsReadOnly", "GET", 0, "canwrite", id(8), 0, "false"},
        MemberRow{"NoSwitchWorksAsynchronously", "GET", 0, "canasync", id(1), 0, "false"},
        MemberRow{"GetSwitchReadsTheHeaterOn", "GET", 0, "getswitch", id(0), 0, "true"},
        MemberRow{"GetSwitchReadsAShiftedWingAsOn", "GET", 0, "getswitch", id(1), 0, "true"},
        MemberRow{"GetSwitchReadsStatusZeroAsOff", "GET", 0, "getswitch", id(8), 0, "false"},
        MemberRow{"TheHeaterReadsOne", "GET", 0, "getswitchvalue", id(0), 0, "1.0"},
        MemberRow{"TheWingShiftReadsInAngstrom", "GET", 0, "getswitchvalue", id(1), 0, "0.3"},
        MemberRow{"TheLockedPanelReadsOne", "GET", 0, "getswitchvalue", id(2), 0, "1.0"},
        MemberRow{"OnBandReadsOne", "GET", 0, "getswitchvalue", id(3), 0, "1.0"},
        MemberRow{"TheCurrentWavelengthIsThePassband", "GET", 0, "getswitchvalue", id(4), 0, "6563.1"},
        MemberRow{"TheTargetIsTheLinePlusTheShift", "GET", 0, "getswitchvalue", id(5), 0, "6563.1"},
        MemberRow{"TheTemperatureIsInCelsius", "GET", 0, "getswitchvalue", id(6), 0, "100.0"},
        MemberRow{"TheHeaterPowerIsInPercent", "GET", 0, "getswitchvalue", id(7), 0, "42.5"},
        MemberRow{"TheStatusIsTheFiltersCode", "GET", 0, "getswitchvalue", id(8), 0, "0.0"},
        MemberRow{"TheWingShiftStartsAtMinusOne", "GET", 0, "minswitchvalue", id(1), 0, "-1.0"},
        MemberRow{"TheWingShiftEndsAtOne", "GET", 0, "maxswitchvalue", id(1), 0, "1.0"},
        MemberRow{"TheWingShiftStepsInTenths", "GET", 0, "switchstep", id(1), 0, "0.1"},
        MemberRow{"TheHeaterStepsFromOffToOn", "GET", 0, "switchstep", id(0), 0, "1.0"},
        MemberRow{"ASwitchNameCarriesTheFilter", "GET", 0, "getswitchname", id(0), 0, "\"Heater (H-a 0.7A PRO)\""},
        MemberRow{"TheStatusDescriptionIsItsText", "GET", 0, "getswitchdescription", id(8), 0,
                  "\"On band (H-a 0.7A PRO)\""},
        MemberRow{"SetAsyncIsNotImplemented", "PUT", 0, "setasync", {{"Id", "0"}, {"State", "true"}}, 0x400, nullptr},
        MemberRow{"SetAsyncValueIsNotImplemented", "PUT", 0, "setasyncvalue", {{"Id", "1"}, {"Value", "0.1"}}, 0x400,
                  nullptr},
        MemberRow{"CancelAsyncIsNotImplemented", "PUT", 0, "cancelasync", id(0), 0x400, nullptr},
        MemberRow{"RenamingASwitchIsNotImplemented", "PUT", 0, "setswitchname", {{"Id", "0"}, {"Name", "x"}}, 0x400,
                  nullptr},
        MemberRow{"SettingAReadOnlySwitchIsNotImplemented", "PUT", 0, "setswitch", {{"Id", "3"}, {"State", "true"}},
                  0x400, nullptr},
        MemberRow{"AWingShiftPastOneAngstromIsAnInvalidValue", "PUT", 0, "setswitchvalue",
                  {{"Id", "1"}, {"Value", "1.01"}}, 0x401, nullptr},
        MemberRow{"ASwitchNumberPastTheLastIsAnInvalidValue", "GET", 0, "getswitch", id(9), 0x401, nullptr},
        MemberRow{"ANegativeSwitchNumberIsAnInvalidValue", "GET", 0, "getswitchvalue", id(-1), 0x401, nullptr},
        MemberRow{"ConnectedReadsTrue", "GET", 0, "connected", {}, 0, "true"},
        MemberRow{"ConnectingReadsFalse", "GET", 0, "connecting", {}, 0, "false"},
        MemberRow{"TheInterfaceIsSwitchVersionThree", "GET", 0, "interfaceversion", {}, 0, "3"},
        MemberRow{"TheDriverVersionIsMajorDotMinor", "GET", 0, "driverversion", {}, 0, "\"1.0\""},
        MemberRow{"TheSettingsAreTheSupportedActions", "GET", 0, "supportedactions", {}, 0,
                  "[\"record\",\"sleep\",\"panellock\",\"displaymode\",\"units\",\"wingshift\"]"},
        MemberRow{"ARecordIntervalIsWholeMilliseconds", "PUT", 0, "action", {{"Action", "record"}, {"Parameters", "1s"}},
                  0x401, nullptr},
        MemberRow{"ASettingsPollIsZeroOrOne", "PUT", 0, "action", {{"Action", "units"}, {"Parameters", "1,poll=2"}},
                  0x401, nullptr},
        MemberRow{"TheNameCarriesTheFilter", "GET", 0, "name", {}, 0, "\"Solvane filter 1 H-a 0.7A PRO\""},
        MemberRow{"TheDescriptionNamesModelFilterAndSerial", "GET", 0, "description", {}, 0,
                  "\"Solvane 60 H-a 0.7A PRO, serial SV-1\""},
        MemberRow{"AnUnknownActionIsNotImplemented", "PUT", 0, "action", {{"Action", "x"}, {"Parameters", ""}}, 0x40C,
                  nullptr},
        MemberRow{"AnActionValueOutOfItsRangeIsInvalid", "PUT", 0, "action",
                  {{"Action", "wingshift"}, {"Parameters", "1.5"}}, 0x401, nullptr},
        MemberRow{"AnActionWithoutANumberIsInvalid", "PUT", 0, "action", {{"Action", "sleep"}, {"Parameters", "on"}},
                  0x401, nullptr},
        MemberRow{"AnActionOnAnUnconnectedFilterIsNotConnected", "PUT", 1, "action",
                  {{"Action", "units"}, {"Parameters", "1"}}, 0x407, nullptr},
        MemberRow{"RawCommandsAreNotImplemented", "PUT", 0, "commandstring", {{"Command", "GI"}, {"Raw", "true"}},
                  0x400, nullptr},
        MemberRow{"ConnectedToAConnectedFilterNeedsNoWork", "PUT", 0, "connected", {{"Connected", "true"}}, 0, nullptr},
        MemberRow{"AnUnconnectedFilterReadsNotConnected", "GET", 1, "connected", {}, 0, "false"},
        MemberRow{"AnUnconnectedFilterStillHasItsName", "GET", 1, "name", {}, 0, "\"Solvane filter 2\""},
        MemberRow{"AnUnconnectedFilterStillHasItsVersion", "GET", 1, "interfaceversion", {}, 0, "3"},
        MemberRow{"SwitchesOfAnUnconnectedFilterAreNotConnected", "GET", 1, "getswitchvalue", id(0), 0x407, nullptr},
        MemberRow{"MaxSwitchOfAnUnconnectedFilterIsNotConnected", "GET", 1, "maxswitch", {}, 0x407, nullptr},
        MemberRow{"TheDeviceStateOfAnUnconnectedFilterIsNotConnected", "GET", 1, "devicestate", {}, 0x407, nullptr},
        MemberRow{"DisconnectingAnUnconnectedFilterNeedsNoWork", "PUT", 1, "disconnect", {}, 0, nullptr}),
    [](const ::testing::TestParamInfo<MemberRow>& info) { return std::string(info.param.name); });

TEST(AlpacaApi, TheDeviceStateListsEverySwitchAndATimeStamp)
{
    Json reply = Json::parse(ask("GET", device_path(0, "devicestate")).body);
    ASSERT_EQ(reply["ErrorNumber"], 0);
    const Json& state = reply["Value"];
    ASSERT_EQ(state.size(), 2u * 9 + 1);
    EXPECT_EQ(state[2], Json::parse(R"({"Name":"GetSwitch1","Value":true})"));
    EXPECT_EQ(state[3], Json::parse(R"({"Name":"GetSwitchValue1","Value":0.3})"));
    EXPECT_EQ(state[18]["Name"], "TimeStamp");
    EXPECT_TRUE(std::regex_match(state[18]["Value"].get<std::string>(),
                                 std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")));
}

TEST(AlpacaApi, ReadingsComeToTheirStepNotToABinarySum)
{
    FilterRecord r;
    r.center_wavelength = 3933.7;
    r.wing_shift = -0.3;
    EXPECT_EQ(Json(switch_value(SWITCH_TARGET_WAVELENGTH, r)).dump(), "3933.4");
}

struct WriteRow {
    const char* name;
    const char* member;
    ApiParams params;
    const char* command;  // the exact bytes for the filter
    int poll_after;
};

void PrintTo(const WriteRow& row, std::ostream* out) { *out << row.name; }

class EveryWrite : public ::testing::TestWithParam<WriteRow> {};

TEST_P(EveryWrite, SendsTheBytesOfTheWindowsMenu)
{
    const WriteRow& row = GetParam();
    ApiAnswer answer = ask("PUT", device_path(0, row.member), row.params);
    ASSERT_EQ(answer.write, WRITE_JOB) << answer.body;
    EXPECT_EQ(answer.device, 0);
    EXPECT_EQ(answer.job.kind, JOB_COMMAND);
    EXPECT_STREQ(answer.job.command, row.command);
    EXPECT_EQ(answer.job.poll_after, row.poll_after);
}

INSTANTIATE_TEST_SUITE_P(
    AlpacaWrites, EveryWrite,
    ::testing::Values(
        WriteRow{"AWingShiftOfThreeTenths", "setswitchvalue", {{"Id", "1"}, {"Value", "0.3"}}, "SE3\n", 1},
        WriteRow{"AWingShiftBetweenTenthsIsCutTowardZero", "setswitchvalue", {{"Id", "1"}, {"Value", "0.25"}}, "SE2\n", 1},
        WriteRow{"ABlueWingShiftIsCutTowardZero", "setswitchvalue", {{"Id", "1"}, {"Value", "-0.25"}}, "SE-2\n", 1},
        WriteRow{"AFullAngstromOfShift", "setswitchvalue", {{"Id", "1"}, {"Value", "-1"}}, "SE-10\n", 1},
        WriteRow{"AShiftWithAnExponent", "setswitchvalue", {{"Id", "1"}, {"Value", "3e-1"}}, "SE3\n", 1},
        WriteRow{"AShiftWithAPlusSign", "setswitchvalue", {{"Id", "1"}, {"Value", "+0.5"}}, "SE5\n", 1},
        WriteRow{"SetSwitchOffPutsTheWingShiftToItsMinimum", "setswitch", {{"Id", "1"}, {"State", "false"}}, "SE-10\n", 1},
        WriteRow{"TheHeaterOnWakesTheFilter", "setswitch", {{"Id", "0"}, {"State", "true"}}, "SH0\n", 0},
        WriteRow{"TheHeaterOffPutsItToSleep", "setswitch", {{"Id", "0"}, {"State", "FALSE"}}, "SH1\n", 0},
        WriteRow{"AHeaterValueGoesToTheNearerStep", "setswitchvalue", {{"Id", "0"}, {"Value", "0.7"}}, "SH0\n", 0},
        WriteRow{"LockingThePanel", "setswitch", {{"Id", "2"}, {"State", "True"}}, "SL1\n", 0},
        WriteRow{"UnlockingThePanel", "setswitchvalue", {{"Id", "2"}, {"Value", "0"}}, "SL0\n", 0},
        WriteRow{"ClientNumbersBesideTheParameters", "setswitchvalue",
                 {{"Id", "1"}, {"Value", "0.1"}, {"ClientID", "3"}, {"ClientTransactionID", "4"}}, "SE1\n", 1}),
    [](const ::testing::TestParamInfo<WriteRow>& info) { return std::string(info.param.name); });

struct MalformedRow {
    const char* name;
    const char* method;
    const char* path;
    ApiParams params;
};

void PrintTo(const MalformedRow& row, std::ostream* out) { *out << row.name; }

class Malformed : public ::testing::TestWithParam<MalformedRow> {};

TEST_P(Malformed, IsRefusedWithHttp400AndAReason)
{
    const MalformedRow& row = GetParam();
    ApiAnswer answer = ask(row.method, row.path, row.params);
    EXPECT_EQ(answer.http_status, 400) << answer.body;
    EXPECT_EQ(answer.content_type, "text/plain; charset=utf-8");
    EXPECT_GT(answer.body.size(), 10u);
    EXPECT_EQ(answer.write, WRITE_NONE);
}

INSTANTIATE_TEST_SUITE_P(
    AlpacaRequests, Malformed,
    ::testing::Values(
        MalformedRow{"AMissingId", "GET", "/api/v1/switch/0/getswitchvalue", {}},
        MalformedRow{"AnIdThatIsNoNumber", "GET", "/api/v1/switch/0/getswitch", {{"Id", "one"}}},
        MalformedRow{"AnIdWithAFraction", "GET", "/api/v1/switch/0/getswitch", {{"Id", "1.0"}}},
        MalformedRow{"AValueThatIsNoNumber", "PUT", "/api/v1/switch/0/setswitchvalue", {{"Id", "1"}, {"Value", "abc"}}},
        MalformedRow{"AValueThatIsNaN", "PUT", "/api/v1/switch/0/setswitchvalue", {{"Id", "1"}, {"Value", "NaN"}}},
        MalformedRow{"AnInfiniteValue", "PUT", "/api/v1/switch/0/setswitchvalue", {{"Id", "1"}, {"Value", "inf"}}},
        MalformedRow{"AValueWithADecimalComma", "PUT", "/api/v1/switch/0/setswitchvalue", {{"Id", "1"}, {"Value", "0,3"}}},
        MalformedRow{"AnEmptyValue", "PUT", "/api/v1/switch/0/setswitchvalue", {{"Id", "1"}, {"Value", ""}}},
        MalformedRow{"AValueTooLargeForADouble", "PUT", "/api/v1/switch/0/setswitchvalue", {{"Id", "1"}, {"Value", "1e999"}}},
        MalformedRow{"AStateThatIsNoBoolean", "PUT", "/api/v1/switch/0/setswitch", {{"Id", "0"}, {"State", "1"}}},
        MalformedRow{"AMissingConnected", "PUT", "/api/v1/switch/0/connected", {}},
        MalformedRow{"AGetOfAPutMember", "GET", "/api/v1/switch/0/setswitch", {{"Id", "0"}, {"State", "true"}}},
        MalformedRow{"APutOfAGetMember", "PUT", "/api/v1/switch/0/getswitch", {{"Id", "0"}}},
        MalformedRow{"AnUnknownMember", "GET", "/api/v1/switch/0/getfilter", {}},
        MalformedRow{"AnUpperCasePath", "GET", "/api/v1/switch/0/GetSwitch", {{"Id", "0"}}},
        MalformedRow{"AnotherApiVersion", "GET", "/api/v2/switch/0/maxswitch", {}},
        MalformedRow{"AnotherDeviceType", "GET", "/api/v1/telescope/0/connected", {}},
        MalformedRow{"AnUnknownDeviceNumber", "GET", "/api/v1/switch/7/connected", {}},
        MalformedRow{"ASlotWithoutAPort", "GET", "/api/v1/switch/3/connected", {}},
        MalformedRow{"ANegativeDeviceNumber", "GET", "/api/v1/switch/-1/connected", {}},
        MalformedRow{"APathWithAnExtraPart", "GET", "/api/v1/switch/0/connected/now", {}},
        MalformedRow{"AClientTransactionIdThatIsNoNumber", "GET", "/api/v1/switch/0/name", {{"ClientTransactionID", "x"}}},
        MalformedRow{"AClientIdPast32Bits", "GET", "/api/v1/switch/0/name", {{"ClientID", "4294967296"}}},
        MalformedRow{"AnUnknownManagementMember", "GET", "/management/v1/devices", {}},
        MalformedRow{"AManagementPut", "PUT", "/management/apiversions", {}},
        MalformedRow{"AMisCasedNameInAPut", "PUT", "/api/v1/switch/0/setswitchvalue", {{"ID", "1"}, {"Value", "0.1"}}},
        MalformedRow{"AMisCasedTransactionIdInAPut", "PUT", "/api/v1/switch/0/connect", {{"clienttransactionid", "1"}}}),
    [](const ::testing::TestParamInfo<MalformedRow>& info) { return std::string(info.param.name); });

TEST(AlpacaApi, ARefusedValueIsQuotedAsItWasSent)
{
    ApiAnswer answer = ask("PUT", device_path(0, "setswitchvalue"), {{"Id", "1"}, {"Value", "-1.0000000001"}});
    const std::string message = Json::parse(answer.body)["ErrorMessage"];
    EXPECT_NE(message.find("('-1.0000000001') is out of range: it takes -1 to 1."), std::string::npos) << message;
}

TEST(AlpacaApi, TransactionIdsAreEchoedAndCounted)
{
    Json first = Json::parse(ask("GET", device_path(0, "name"), {{"clienttransactionid", "41"}, {"CLIENTID", "7"}}).body);
    Json second = Json::parse(ask("GET", device_path(0, "name")).body);
    EXPECT_EQ(first["ClientTransactionID"], 41);
    EXPECT_EQ(second["ClientTransactionID"], 0);
    EXPECT_EQ(second["ServerTransactionID"].get<std::uint32_t>(), first["ServerTransactionID"].get<std::uint32_t>() + 1);
    Json refused = Json::parse(ask("GET", device_path(1, "maxswitch"), {{"ClientTransactionID", "4294967295"}}).body);
    EXPECT_EQ(refused["ClientTransactionID"], 4294967295u);
}

TEST(AlpacaApi, TheManagementApiDescribesTheServerAndItsDevices)
{
    EXPECT_EQ(Json::parse(ask("GET", "/management/apiversions").body)["Value"], Json::parse("[1]"));
    Json description = Json::parse(ask("GET", "/management/v1/description").body)["Value"];
    EXPECT_EQ(description["Manufacturer"], "Solvane");
    EXPECT_EQ(description["ManufacturerVersion"], "1.0");
    EXPECT_EQ(description["Location"], "dome");
    EXPECT_FALSE(description["ServerName"].get<std::string>().empty());
    Json devices = Json::parse(ask("GET", "/management/v1/configureddevices").body)["Value"];
    ASSERT_EQ(devices.size(), 2u);  // the slots with a port
    EXPECT_EQ(devices[1]["DeviceName"], "Solvane filter 2 (COM2)");
    EXPECT_EQ(devices[1]["DeviceType"], "Switch");
    EXPECT_EQ(devices[1]["DeviceNumber"], 1);
    EXPECT_EQ(devices[1]["UniqueID"], unique_device_id("test-machine", 1));
}

TEST(AlpacaApi, UniqueIdsAreStableAndDifferPerSlotAndMachine)
{
    const std::regex uuid("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}");
    EXPECT_TRUE(std::regex_match(unique_device_id("m", 0), uuid));
    EXPECT_EQ(unique_device_id("m", 2), unique_device_id("m", 2));
    EXPECT_NE(unique_device_id("m", 2), unique_device_id("m", 3));
    EXPECT_NE(unique_device_id("m", 2), unique_device_id("n", 2));
}

TEST(AlpacaApi, AWriteThatRanIsAnsweredByWhatTheFilterSaid)
{
    ApiAnswer pending = ask("PUT", device_path(0, "setswitchvalue"), {{"Id", "1"}, {"Value", "0.3"}, {"ClientTransactionID", "5"}});
    const FilterRecord record = filter_view().slot[0].record;
    WriteOutcome outcome;
    outcome.finished = 1;
    outcome.result.answered = 1;
    outcome.result.acknowledged = 1;
    Json ok = Json::parse(finish_write(pending, outcome, record, 0).body);
    EXPECT_EQ(ok["ErrorNumber"], 0);
    EXPECT_EQ(ok["ClientTransactionID"], 5);
    outcome.result.acknowledged = 0;
    copy_text(outcome.result.reply, REPLY_BUFFER_SIZE, "E7\r\n", 10);
    Json refused = Json::parse(finish_write(pending, outcome, record, 0).body);
    EXPECT_EQ(refused["ErrorNumber"], ALPACA_DRIVER_ERROR);
    EXPECT_NE(refused["ErrorMessage"].get<std::string>().find("'E7'"), std::string::npos);
    outcome.result.answered = 0;
    EXPECT_EQ(Json::parse(finish_write(pending, outcome, record, 0).body)["ErrorNumber"], ALPACA_DRIVER_ERROR);
    outcome.finished = 0;
    EXPECT_EQ(Json::parse(finish_write(pending, outcome, record, 0).body)["ErrorNumber"], ALPACA_DRIVER_ERROR);
}

TEST(AlpacaDiscovery, OnlyTheDiscoveryMessageIsAnswered)
{
    struct Row {
        std::string datagram;
        int valid;
    } rows[] = {{"alpacadiscovery1", 1},      {"alpacadiscoveryA", 1}, {"alpacadiscovery1" + std::string(48, 'x'), 1},
                {"alpacadiscovery", 0},       {"alpacadiscovery0", 0}, {"ALPACADISCOVERY1", 0},
                {"alpacadiscovery1" + std::string(49, 'x'), 0}};
    for (const Row& row : rows)
        EXPECT_EQ(discovery_request_valid(row.datagram.data(), row.datagram.size()), row.valid) << row.datagram;
    EXPECT_EQ(Json::parse(discovery_response(11111)), Json::parse(R"({"AlpacaPort": 11111})"));
}

// The points a strict Alpaca client and ASCOM's checker look at, each against the record of
// filter_view with the row's changes.
struct ConformanceRow {
    const char* name;
    const char* member;
    double wing_shift;
    const char* connect_failure;  // the slot's last failed Connect(), "" for none
    int error;
    const char* value;            // JSON, or nullptr when none is expected
};

void PrintTo(const ConformanceRow& row, std::ostream* out) { *out << row.name; }

class Conformance : public ::testing::TestWithParam<ConformanceRow> {};

TEST_P(Conformance, AnswersAsAStrictClientExpects)
{
    const ConformanceRow& row = GetParam();
    ServerView view = filter_view();
    view.slot[0].record.wing_shift = row.wing_shift;
    view.slot[0].connect_failure = row.connect_failure;
    const ApiAnswer answer = answer_api_request(ApiRequest{"GET", device_path(0, row.member), id(1)}, view);
    ASSERT_EQ(answer.http_status, 200) << answer.body;
    Json reply = Json::parse(answer.body);
    EXPECT_EQ(reply["ErrorNumber"], row.error) << answer.body;
    if (row.value != nullptr) {
        const Json value = row.value[0] == '#' ? reply["Value"][std::stoi(row.value + 1)]["Value"] : reply["Value"];
        EXPECT_EQ(value, Json::parse(row.value[0] == '#' ? std::strchr(row.value, ' ') + 1 : row.value)) << answer.body;
    } else {
        EXPECT_NE(reply["ErrorMessage"].get<std::string>().find(row.connect_failure), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(
    AlpacaConformance, Conformance,
    ::testing::Values(
        ConformanceRow{"GetSwitchIsFalseAtTheMinimum", "getswitch", -1.0, "", 0, "false"},
        ConformanceRow{"GetSwitchIsTrueAtTheMaximum", "getswitch", 1.0, "", 0, "true"},
        ConformanceRow{"GetSwitchIsFalseAtTheCentre", "getswitch", 0.0, "", 0, "false"},
        ConformanceRow{"TheDeviceStateIsFalseAtTheMinimum", "devicestate", -1.0, "", 0, "#2 false"},
        ConformanceRow{"StateChangeCompleteIsTrueWithNothingAsynchronous", "statechangecomplete", 0.3, "", 0, "true"},
        ConformanceRow{"ConnectingCarriesTheReasonOfAFailedConnect", "connecting", 0.3,
                       "Filter 1 did not connect. Could not open COM1", ALPACA_DRIVER_ERROR, nullptr},
        ConformanceRow{"ConnectingIsFalseWithoutAFailure", "connecting", 0.3, "", 0, "false"}),
    [](const ::testing::TestParamInfo<ConformanceRow>& info) { return std::string(info.param.name); });

TEST(AlpacaHttp, LoopbackIsAnAddressWhateverItsSpelling)
{
    struct Row {
        const char* text;
        int literal;
        int loopback;
    } rows[] = {{"127.0.0.1", 1, 1},        {"127.9.8.7", 1, 1},         {"::1", 1, 1},
                {"0::1", 1, 1},             {"0:0:0:0:0:0:0:1", 1, 1},   {"[::1]", 1, 1},
                {"::ffff:127.0.0.1", 1, 1}, {"::ffff:128.0.0.1", 1, 0},  {"::2", 1, 0},
                {"192.0.2.1", 1, 0},        {"LOCALHOST", 0, 0},         {"127.0.0.1.evil.example", 0, 0}};
    for (const Row& row : rows) {
        NetAddress address;
        EXPECT_EQ(address_parse(row.text, address), row.literal) << row.text;
        EXPECT_EQ(address_is_loopback(address), row.loopback) << row.text;
    }
    NetAddress named;
    std::string error;
    ASSERT_EQ(listen_address_resolve("LOCALHOST", named, error), 1) << error;
    EXPECT_EQ(address_is_loopback(named), 1) << address_text(named);
}

TEST(AlpacaHttp, OnlyNamesAndAddressesOfThisComputerPass)
{
    HostRules rules;
    NetAddress own;
    address_parse("192.0.2.7", own);
    rules.addresses = {own};
    rules.names = {"localhost", "dome-pc", "dome-pc.local", "observatory.example"};
    struct Row {
        const char* host;
        int passes;
    } rows[] = {{"localhost:11111", 1},      {"LOCALHOST.", 1},           {"127.0.0.1:11111", 1},
                {"127.0.0.2", 1},            {"[::1]:11111", 1},          {"[0:0:0:0:0:0:0:1]", 1},
                {"[::ffff:127.0.0.1]:80", 1}, {"192.0.2.7:11111", 1},     {"Dome-PC", 1},
                {"dome-pc.local:11111", 1},  {"observatory.example", 1},  {"", 1},
                {"evil.example", 0},         {"192.0.2.8", 0},            {"127.0.0.1.evil.example", 0},
                {"localhost.evil.example:80", 0}, {"[::1", 0},            {"[::1]x", 0},
                {"::1", 0},                  {"0.0.0.0", 0}};
    for (const Row& row : rows) EXPECT_EQ(host_allowed(rules, row.host), row.passes) << row.host;
}

}  // namespace
