// The transport on both paths: the driver's version, every row of the Win32
// and PC/SC error tables, removal during an exchange, the reader scan.
#include "token_api.h"

using namespace token_test;

namespace {

class TokenTransport : public Fixture {
protected:
    DWORD led() { return command(QUVA_CMD_LED, {1, 0}, 1, nullptr); }
};

class TokenTransportRm : public TokenTransport {
protected:
    void SetUp() override {
        winsim::scard::set_virtual_readers(4);
        use_resource_manager(4);
        open_pcsc_gate();
        TokenTransport::SetUp();
    }
};

struct Row {
    DWORD error;
    DWORD status;
};

} // namespace

TEST_F(TokenTransport, DriverVersionAnswers) {
    winsim::tokens::plug();
    winsim::tokens::set_version_answer({0x01, 0x01});
    EXPECT_EQ(open(QUVA_OPEN_FIRST), 1u);
    winsim::tokens::set_version_answer({0x00, 0x01, 0, 0});
    EXPECT_EQ(open(QUVA_OPEN_FIRST), 2u);
    winsim::tokens::set_version_answer({0x01, 0x01, 0, 0, 0});
    EXPECT_EQ(open(QUVA_OPEN_FIRST), 1u);
    winsim::tokens::set_version_answer({0x01, 0x01, 0, 0});
    EXPECT_EQ(open(QUVA_OPEN_FIRST), 0u);
    winsim::tokens::fail_control(0x220400, ERROR_GEN_FAILURE);
    EXPECT_EQ(open(QUVA_OPEN_FIRST), 1u);
    // Each failure let the driver handle go; the fixture's machine checks it.
}

TEST_F(TokenTransport, NoDriverNoResourceManager) {
    winsim::tokens::set_driver_present(false);
    EXPECT_EQ(open(QUVA_OPEN_FIRST), 6u);
}

TEST_F(TokenTransport, Win32ErrorsOnAnExchange) {
    winsim::tokens::plug();
    const std::vector<Row> rows = {
        {ERROR_ACCESS_DENIED, 4}, {ERROR_INVALID_PARAMETER, 17}, {ERROR_SEM_TIMEOUT, 21},
        {ERROR_OPERATION_ABORTED, 6}, {ERROR_GEN_FAILURE, 8},    {ERROR_CRC, 8},
    };
    ASSERT_EQ(open(QUVA_OPEN_FIRST), 0u);
    for (const Row &row : rows) {
        SCOPED_TRACE(row.error);
        winsim::tokens::fail_control(0x220414, row.error);
        EXPECT_EQ(led(), row.status);
        EXPECT_EQ(led(), 0u) << "the token stays usable";
    }
}

TEST_F(TokenTransport, Win32ErrorsOnTheOpenControl) {
    winsim::tokens::plug();
    const std::vector<Row> rows = {
        {ERROR_ACCESS_DENIED, 4},     {ERROR_INVALID_HANDLE, 6}, {ERROR_INVALID_PARAMETER, 17},
        {ERROR_SEM_TIMEOUT, 21},      {ERROR_OPERATION_ABORTED, 6}, {ERROR_GEN_FAILURE, 8},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.error);
        winsim::tokens::fail_control(0x220404, row.error);
        EXPECT_EQ(open(QUVA_OPEN_FIRST), row.status);
        EXPECT_EQ(led(), 6u) << "released after a failed open";
        EXPECT_EQ(open(QUVA_OPEN_FIRST), 0u) << "the context stays usable";
    }
}

TEST_F(TokenTransport, RemovalDuringAnExchangeReleasesTheContext) {
    DWORD id = winsim::tokens::plug();
    ASSERT_EQ(open(QUVA_OPEN_FIRST), 0u);
    winsim::tokens::fail_control(0x220414, ERROR_INVALID_HANDLE);
    EXPECT_EQ(led(), 7u);
    winsim::tokens::clear_log();
    EXPECT_EQ(led(), 7u);
    BYTE buf[8];
    DWORD count = 5;
    EXPECT_EQ(api().quva_GetResponse(ctx(), buf, sizeof buf, &count), 7u);
    EXPECT_EQ(winsim::tokens::log().size(), 0u) << "the lost context still called the driver";
    EXPECT_EQ(api().quva_CloseDevice(ctx()), 0u);
    EXPECT_EQ(led(), 6u);

    // A real removal does the same.
    ASSERT_EQ(open(QUVA_OPEN_FIRST), 0u);
    winsim::tokens::unplug(id);
    EXPECT_EQ(led(), 7u);
    EXPECT_EQ(led(), 7u);
    EXPECT_EQ(open(QUVA_OPEN_FIRST), 6u);
}

TEST_F(TokenTransport, TheCommandFrame) {
    winsim::tokens::plug();
    ASSERT_EQ(open(QUVA_OPEN_FIRST), 0u);
    winsim::tokens::clear_log();
    BYTE answer[8];
    EXPECT_EQ(api().quva_Command(ctx(), 0x70120, 0, nullptr, sizeof answer, answer), 0u);
    auto log = winsim::tokens::log();
    ASSERT_EQ(log.size(), 1u);
    const Bytes &f = log[0].request;
    ASSERT_EQ(f.size(), 272u);
    EXPECT_EQ(Bytes(f.begin() + 4, f.begin() + 16), Bytes({0, 0, 0, 0, 0x20, 0x01, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(log[0].answer_size, 8u);
    EXPECT_FALSE(log[0].smartcard);
}

TEST_F(TokenTransportRm, TheLengthFieldCarriesTheAnswerSize) {
    winsim::tokens::plug();
    ASSERT_EQ(open(QUVA_OPEN_FIRST), 0u);
    winsim::tokens::clear_log();
    BYTE answer[6];
    command(0x7777, {0xAA, 0xBB}, sizeof answer, answer);
    auto log = winsim::tokens::log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_TRUE(log[0].smartcard);
    EXPECT_EQ(Bytes(log[0].request.begin() + 12, log[0].request.begin() + 18), Bytes({2, 0, 6, 0, 0xAA, 0xBB}));
}

TEST_F(TokenTransportRm, PcscResultsOnAnExchange) {
    winsim::tokens::plug();
    const std::vector<Row> rows = {
        {ERROR_INVALID_FUNCTION, 3},
        {ERROR_CRC, 8},
        {ERROR_OPERATION_ABORTED, 6},
        {(DWORD)SCARD_F_INTERNAL_ERROR, 12},
        {(DWORD)SCARD_E_INVALID_PARAMETER, 7},
        {(DWORD)SCARD_E_INVALID_TARGET, 7},
        {(DWORD)SCARD_E_NO_MEMORY, 16},
        {(DWORD)SCARD_F_WAITED_TOO_LONG, 21},
        {(DWORD)SCARD_E_UNKNOWN_READER, 7},
        {(DWORD)SCARD_E_TIMEOUT, 23},
        {(DWORD)SCARD_E_SHARING_VIOLATION, 21},
        {(DWORD)SCARD_E_NO_SMARTCARD, 6},
        {(DWORD)SCARD_E_INVALID_VALUE, 7},
        {(DWORD)SCARD_F_COMM_ERROR, 8},
        {(DWORD)SCARD_E_READER_UNAVAILABLE, 7},
        {(DWORD)SCARD_E_NO_SERVICE, 1},
        {(DWORD)SCARD_E_SERVICE_STOPPED, 1},
        {(DWORD)SCARD_W_UNRESPONSIVE_CARD, 8},
        {(DWORD)SCARD_W_REMOVED_CARD, 7},
        {(DWORD)SCARD_E_INVALID_HANDLE, 17},
        {ERROR_INVALID_HANDLE, 17},
        {(DWORD)SCARD_E_NOT_READY, 17},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(testing::Message() << std::hex << row.error);
        ASSERT_EQ(open(QUVA_OPEN_FIRST), 0u);
        winsim::tokens::fail_control(0x31200C, row.error);
        EXPECT_EQ(led(), row.status);
        winsim::tokens::clear_log();
        if (row.status == 7) {
            // A removal: the context is let go and stays lost until closed.
            EXPECT_EQ(led(), 7u);
            EXPECT_EQ(winsim::tokens::log().size(), 0u);
            EXPECT_EQ(api().quva_CloseDevice(ctx()), 0u);
            EXPECT_EQ(led(), 6u);
        } else {
            EXPECT_EQ(led(), 0u);
        }
        api().quva_CloseDevice(ctx());
    }
}

TEST_F(TokenTransportRm, PcscResultsOfTheVersionAndOpenControls) {
    winsim::tokens::plug();
    winsim::tokens::plug();
    // The version control failing: 1, whatever the cause.
    winsim::tokens::fail_control(0x312000, (DWORD)SCARD_E_TIMEOUT);
    EXPECT_EQ(open(QUVA_OPEN_FIRST), 1u);
    winsim::tokens::set_version_answer({0x00, 0x01, 0, 0});
    EXPECT_EQ(open(QUVA_OPEN_FIRST), 2u);
    winsim::tokens::set_version_answer({0x02, 0x01, 0, 0});
    // The open control failing on the first reader with 7 goes on to the next reader...
    winsim::tokens::fail_control(0x312004, (DWORD)SCARD_W_REMOVED_CARD);
    EXPECT_EQ(open(QUVA_OPEN_FIRST), 0u);
    EXPECT_EQ(serial().back(), (BYTE)winsim::tokens::plugged()[1]);
    // ... any other failure ends the scan at the next reader.
    winsim::tokens::fail_control(0x312004, (DWORD)SCARD_F_COMM_ERROR);
    EXPECT_EQ(open(QUVA_OPEN_FIRST), 6u);
    // The version is read once per context.
    winsim::tokens::clear_log();
    EXPECT_EQ(open(QUVA_OPEN_FIRST), 0u);
    EXPECT_EQ(open(QUVA_OPEN_NEXT), 0u);
    EXPECT_EQ(controls(0x220400), 0u);
    recreate();
    winsim::tokens::clear_log();
    EXPECT_EQ(open(QUVA_OPEN_FIRST), 0u);
    EXPECT_EQ(controls(0x220400), 1u);
}

TEST_F(TokenTransportRm, ResourceManagerFailures) {
    winsim::tokens::plug();
    winsim::scard::set_service_running(false);
    EXPECT_EQ(open(QUVA_OPEN_FIRST), 6u);
    winsim::scard::set_service_running(true);

    winsim::faults::fail("SCardConnectA", (DWORD)SCARD_E_SHARING_VIOLATION);
    EXPECT_EQ(open(QUVA_OPEN_FIRST), 21u);
    winsim::faults::fail("SCardConnectA", (DWORD)SCARD_W_UNRESPONSIVE_CARD);
    EXPECT_EQ(open(QUVA_OPEN_FIRST), 8u);
    winsim::faults::fail("SCardGetStatusChangeA", (DWORD)SCARD_E_TIMEOUT);
    EXPECT_EQ(open(QUVA_OPEN_FIRST), 23u);
    winsim::faults::fail("SCardEstablishContext", (DWORD)SCARD_E_NO_MEMORY);
    EXPECT_EQ(open(QUVA_OPEN_FIRST), 6u);
    EXPECT_EQ(open(QUVA_OPEN_FIRST), 0u);
}

TEST_F(TokenTransportRm, AReaderThatDoesNotExistEndsTheScan) {
    // Four readers scanned, only one present and empty: reader 1 is unknown
    // to the resource manager (7), which the open reports as 6.
    winsim::scard::set_virtual_readers(1);
    EXPECT_EQ(open(QUVA_OPEN_FIRST), 6u);
}

TEST_F(TokenTransportRm, NothingIsLeftConnectedAfterAFailedOpen) {
    winsim::tokens::plug();
    winsim::handles::Counts before = winsim::handles::open();
    winsim::tokens::fail_control(0x312000, ERROR_GEN_FAILURE);
    EXPECT_EQ(open(QUVA_OPEN_FIRST), 1u);
    EXPECT_EQ(winsim::handles::leaks_since(before), "");
    winsim::tokens::fail_control(0x312004, ERROR_GEN_FAILURE);
    EXPECT_EQ(open(QUVA_OPEN_FIRST), 6u);
    EXPECT_EQ(winsim::handles::leaks_since(before), "");
    EXPECT_EQ(open(QUVA_OPEN_FIRST), 0u);
    EXPECT_EQ(api().quva_CloseDevice(ctx()), 0u);
    EXPECT_EQ(winsim::handles::leaks_since(before), "");
}

TEST_F(TokenTransportRm, RemovalDuringAnExchange) {
    DWORD id = winsim::tokens::plug();
    ASSERT_EQ(open(QUVA_OPEN_FIRST), 0u);
    winsim::tokens::remove_during_next_exchange(id);
    EXPECT_EQ(led(), 7u);
    EXPECT_EQ(led(), 7u);
    EXPECT_EQ(api().quva_CloseDevice(ctx()), 0u);
    EXPECT_EQ(open(QUVA_OPEN_FIRST), 6u);
}

TEST_F(TokenTransport, DirectHandleClosedAfterTheProcessTurnsToTheResourceManager) {
    // A context connected on the direct path, then another created while the
    // registry asks for the resource manager: the first one's driver handle
    // is still closed when it lets go.
    winsim::tokens::plug();
    winsim::handles::Counts before = winsim::handles::open();
    ASSERT_EQ(open(QUVA_OPEN_FIRST), 0u);
    use_resource_manager(2);
    QUVA_CONTEXT other = nullptr;
    ASSERT_EQ(api().quva_CreateContext(&other, 0, 0), 0u);
    // Direct exchanges now fail with 8.
    EXPECT_EQ(command(QUVA_CMD_LED, {1, 0}, 1, nullptr), 8u);
    EXPECT_EQ(api().quva_CloseDevice(ctx()), 0u);
    EXPECT_EQ(api().quva_DeleteContext(other), 0u);
    EXPECT_EQ(winsim::handles::leaks_since(before), "");
}
