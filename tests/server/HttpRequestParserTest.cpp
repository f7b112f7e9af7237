#include "server/HttpRequestParser.h"

#include <gtest/gtest.h>

using namespace glimmet;

namespace {

struct ParserCase {
    const char* name;
    QByteArray buffer;
    bool peerDone;
    ParseOutcome outcome;
    QString method;
    QString path;
    QByteArray body;
};

void PrintTo(const ParserCase& c, std::ostream* os) {
    *os << c.name;
}

class ParserTable : public testing::TestWithParam<ParserCase> {};

TEST_P(ParserTable, Frames) {
    const ParserCase& c = GetParam();
    const ParseResult result = HttpRequestParser::parse(c.buffer, c.peerDone);
    ASSERT_EQ(result.outcome, c.outcome);
    if (c.outcome != ParseOutcome::Complete)
        return;
    EXPECT_EQ(result.request.method, c.method);
    EXPECT_EQ(result.request.path, c.path);
    EXPECT_EQ(result.request.body, c.body);
}

const QByteArray bigBodyHeaders = "POST /event HTTP/1.1\r\nContent-Length: 2000000\r\n\r\n{\"a\":";

INSTANTIATE_TEST_SUITE_P(
    Requests, ParserTable,
    testing::Values(
        // clang-format off
        ParserCase{"plain_get", "GET /status HTTP/1.1\r\nHost: x\r\n\r\n", false, ParseOutcome::Complete, "GET", "/status", ""},
        ParserCase{"lower_case_method", "get /status HTTP/1.1\r\n\r\n", false, ParseOutcome::Complete, "GET", "/status", ""},
        ParserCase{"query_kept_in_path", "GET /status?x=1 HTTP/1.1\r\n\r\n", false, ParseOutcome::Complete, "GET", "/status?x=1", ""},
        ParserCase{"no_request_line", "\r\n\r\n", false, ParseOutcome::Complete, "GET", "/", ""},
        ParserCase{"method_only", "DELETE\r\n\r\n", false, ParseOutcome::Complete, "DELETE", "/", ""},
        ParserCase{"extra_spaces_dropped", "  POST    /event   HTTP/1.1 junk\r\n\r\n", false, ParseOutcome::Complete, "POST", "/event", ""},
        ParserCase{"lf_only_lines", "GET /net HTTP/1.1\nContent-Length: 3\n\r\n\r\nabc", false, ParseOutcome::Complete, "GET", "/net", "abc"},
        ParserCase{"vertical_tab_splits_lines", "GET /a\vContent-Length: 2\r\n\r\nxyz", false, ParseOutcome::Complete, "GET", "/a", "xy"},
        ParserCase{"form_feed_splits_lines", "GET /a\fContent-Length: 1\r\n\r\nxyz", false, ParseOutcome::Complete, "GET", "/a", "x"},
        ParserCase{"nel_splits_lines", "GET /a\xC2\x85" "Content-Length: 1\r\n\r\nxyz", false, ParseOutcome::Complete, "GET", "/a", "x"},
        ParserCase{"line_separator_splits_lines", "GET /a\xE2\x80\xA8" "Content-Length: 1\r\n\r\nxyz", false, ParseOutcome::Complete, "GET", "/a", "x"},
        ParserCase{"paragraph_separator_splits_lines", "GET /a\xE2\x80\xA9" "Content-Length: 1\r\n\r\nxyz", false, ParseOutcome::Complete, "GET", "/a", "x"},
        ParserCase{"content_length_on_request_line", "Content-Length: 2\r\n\r\nabc", false, ParseOutcome::Complete, "CONTENT-LENGTH:", "2", "ab"},
        ParserCase{"later_content_length_wins", "POST /event\r\nContent-Length: 1\r\ncontent-LENGTH:  4 \r\n\r\nabcdef", false, ParseOutcome::Complete, "POST", "/event", "abcd"},
        ParserCase{"non_numeric_length_is_zero", "POST /event\r\nContent-Length: 12abc\r\n\r\nabc", false, ParseOutcome::Complete, "POST", "/event", ""},
        ParserCase{"plus_sign_length", "POST /event\r\nContent-Length: +2\r\n\r\nabc", false, ParseOutcome::Complete, "POST", "/event", "ab"},
        ParserCase{"overflowing_length_is_zero", "POST /event\r\nContent-Length: 99999999999999999999999\r\n\r\nabc", false, ParseOutcome::Complete, "POST", "/event", ""},
        ParserCase{"negative_length_means_no_body", "POST /event\r\nContent-Length: -5\r\n\r\nabc", false, ParseOutcome::Complete, "POST", "/event", ""},
        ParserCase{"post_needs_more_body", "POST /event\r\nContent-Length: 10\r\n\r\nabc", false, ParseOutcome::NeedMore, "", "", ""},
        ParserCase{"post_body_cut_short_by_peer", "POST /event\r\nContent-Length: 10\r\n\r\nabc", true, ParseOutcome::Cancel, "", "", ""},
        ParserCase{"get_does_not_wait_for_body", "GET /status\r\nContent-Length: 10\r\n\r\nabc", false, ParseOutcome::Complete, "GET", "/status", "abc"},
        ParserCase{"huge_length_not_waited_for", bigBodyHeaders, false, ParseOutcome::Complete, "POST", "/event", "{\"a\":"},
        ParserCase{"length_at_limit_is_waited_for", "POST /e\r\nContent-Length: 1000000\r\n\r\nabc", false, ParseOutcome::NeedMore, "", "", ""},
        ParserCase{"headers_incomplete", "GET /status HTTP/1.1\r\nHost: x\r\n", false, ParseOutcome::NeedMore, "", "", ""},
        ParserCase{"headers_incomplete_peer_done", "GET /status HTTP/1.1\r\n", true, ParseOutcome::Cancel, "", "", ""},
        ParserCase{"headers_too_large", "GET /" + QByteArray(HttpRequestParser::maxHeaderBytes, 'a'), false, ParseOutcome::Cancel, "", "", ""},
        ParserCase{"invalid_utf8_replaced", "GET /\xFF\xFE HTTP/1.1\r\n\r\n", false, ParseOutcome::Complete, "GET", QString::fromUtf8("/\xEF\xBF\xBD\xEF\xBF\xBD"), ""}),
    // clang-format on
    [](const testing::TestParamInfo<ParserCase>& info) { return std::string(info.param.name); });

TEST(HttpRequestParser, HeaderLinesExcludeTheRequestLine) {
    const auto result = HttpRequestParser::parse("GET / HTTP/1.1\r\nHost: a\r\nAccept: b\r\n\r\n", false);
    ASSERT_EQ(result.outcome, ParseOutcome::Complete);
    EXPECT_EQ(result.request.headerLines, QStringList({"Host: a", "Accept: b"}));
}

} // namespace
