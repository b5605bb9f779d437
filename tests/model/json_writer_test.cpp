#include "ostrel-model/json_writer.hpp"

#include <gtest/gtest.h>

#include "ostrel-model/json_reader.hpp"
#include "ostrel-model/run.hpp"

namespace ostrel::model {
namespace {

TEST(JsonWriterTest, PlacesSeparatorsAndEscapes) {
    JsonWriter out;
    out.begin_object();
    out.key("a").begin_array().uint(1).integer(-2).number(0.5).number(3).end_array();
    out.key("b").begin_object().end_object();
    out.key("c\"\n").string("x\\y\x01");
    out.key("d").null().key("e").boolean(false).key("f").raw("[1]");
    out.key("g").number(std::numeric_limits<double>::infinity());
    out.end_object();
    EXPECT_EQ(
        out.str(),
        R"({"a":[1,-2,0.5,3.0],"b":{},"c\"\n":"x\\y\u0001","d":null,"e":false,"f":[1],"g":null})");
}

TEST(JsonWriterTest, WritesProxyFaultEntriesInDeclaredOrder) {
    std::vector<ProxyFaults> entries = {
        {"database",
         {
             {LatencyFault{TrafficFlow::ToClient, {NormalDistribution{120, 15}}}},
             {JitterFault{TrafficFlow::Both, 5, 40.5, 0.25}},
             {BandwidthFault{TrafficFlow::ToUpstream, 65536}},
             {BlackholeFault{TrafficFlow::ToClient}},
             {ConnectionResetFault{TrafficFlow::Both, 1}},
         }},
        {"resolver",
         {{DnsFault{DnsCase::Delay, 500}}, {DnsFault{DnsCase::EmptyAnswer, std::nullopt}}}},
        {"idle", {}},
    };
    EXPECT_EQ(
        write_proxy_faults(entries),
        R"([{"proxy":"database","faults":[)"
        R"({"type":"latency","flow":"to-client","distribution":{"type":"normal","mean_ms":120.0,"stddev_ms":15.0}},)"
        R"({"type":"jitter","flow":"both","min_delay_ms":5.0,"max_delay_ms":40.5,"probability":0.25},)"
        R"({"type":"bandwidth","flow":"to-upstream","bytes_per_second":65536},)"
        R"({"type":"blackhole","flow":"to-client"},)"
        R"({"type":"connection-reset","flow":"both","probability":1.0}]},)"
        R"({"proxy":"resolver","faults":[{"type":"dns","case":"delay","delay_ms":500},)"
        R"({"type":"dns","case":"empty-answer","delay_ms":null}]},)"
        R"({"proxy":"idle","faults":[]}])");
}

TEST(JsonWriterTest, WhatIsWrittenReadsBackEqual) {
    std::vector<ProxyFaults> entries = {
        {"a\"b",
         {
             {LatencyFault{TrafficFlow::Both, {ParetoDistribution{0.7, 1e-7}}}},
             {LatencyFault{TrafficFlow::ToUpstream, {ParetoNormalDistribution{2, 3.25, 1e21, 0}}}},
             {LatencyFault{TrafficFlow::ToClient, {UniformDistribution{0.1, 0.30000000000000004}}}},
             {BandwidthFault{TrafficFlow::Both, UINT64_MAX}},
             {DnsFault{DnsCase::RandomA, 0}},
         }},
    };
    auto text = write_proxy_faults(entries);
    auto back = read_proxy_faults(text);
    ASSERT_TRUE(back.has_value()) << back.error();
    EXPECT_EQ(*back, entries) << text;
    EXPECT_EQ(
        write_faults(entries[0].faults),
        text.substr(text.find("\"faults\":") + 9, text.size() - text.find("\"faults\":") - 11));
}

}  // namespace
}  // namespace ostrel::model
