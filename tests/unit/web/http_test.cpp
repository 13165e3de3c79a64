#include "web/http.hpp"

#include <gtest/gtest.h>

namespace {

using namespace vekt::web;

TEST(ParseTarget, PathAndQuery) {
  struct Case {
    const char* target;
    const char* path;
    const char* query_string;
    std::vector<std::pair<std::string, std::string>> query;
  };
  const Case cases[] = {
      {"/gis/plots/", "/gis/plots/", "", {}},
      {"/gis/pl%6Fts/8/1/2.pbf", "/gis/plots/8/1/2.pbf", "", {}},
      {"/a%2Fb/", "/a/b/", "", {}},
      {"/a%20b+c/", "/a b+c/", "", {}},
      {"/bad%zz%4/", "/bad%zz%4/", "", {}},
      {"/x%FF/", "/x\xef\xbf\xbd/", "", {}},
      {"/x%E2%9C/", "/x\xef\xbf\xbd/", "", {}},
      {"/%E2%9C%93", "/\xe2\x9c\x93", "", {}},
      {"/b?minx=1&miny=2", "/b", "minx=1&miny=2", {{"minx", "1"}, {"miny", "2"}}},
      {"/b?a=1+2&b=%41%2B&c", "/b", "a=1+2&b=%41%2B&c", {{"a", "1 2"}, {"b", "A+"}, {"c", ""}}},
      {"/b?&&a=&=v&", "/b", "&&a=&=v&", {{"a", ""}, {"", "v"}}},
      {"/b?k=1&k=2", "/b", "k=1&k=2", {{"k", "1"}, {"k", "2"}}},
      {"/b?q=a=b", "/b", "q=a=b", {{"q", "a=b"}}},
      {"/b?x=%C3%A9", "/b", "x=%C3%A9", {{"x", "é"}}},
      {"/b?", "/b", "", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target);
    ParsedTarget t = parse_target(c.target);
    EXPECT_EQ(t.path, c.path);
    EXPECT_EQ(t.query_string, c.query_string);
    EXPECT_EQ(t.query, c.query);
  }
}

TEST(Request, RepeatedQueryKeyTakesLastValue) {
  Request r;
  r.query = parse_target("/b?k=1&k=2&j=3").query;
  EXPECT_EQ(r.query_value("k"), "2");
  EXPECT_EQ(r.query_value("j"), "3");
  EXPECT_FALSE(r.query_value("x").has_value());
}

TEST(Headers, CaseInsensitiveLookup) {
  Headers h;
  h.add("X-Cache", "HIT");
  h.add("cache-control", "public");
  EXPECT_EQ(h.get("x-cache"), "HIT");
  EXPECT_EQ(h.get("Cache-Control"), "public");
  EXPECT_EQ(h.get("Missing", "d"), "d");
  h.set("X-CACHE", "MISS");
  EXPECT_EQ(h.fields().size(), 2u);
  EXPECT_EQ(h.get("x-cache"), "MISS");
}

TEST(ClientHost, ForwardedForOnlyFromTrustedProxies) {
  const std::vector<std::string> trusted{"127.0.0.1", "::1", "10.0.0.2"};
  struct Case {
    const char* peer;
    const char* xff;  // nullptr: no header
    const char* expect;
  };
  const Case cases[] = {
      {"203.0.113.9", nullptr, "203.0.113.9"},
      {"203.0.113.9", "1.2.3.4", "203.0.113.9"},           // untrusted peer: header ignored
      {"127.0.0.1", nullptr, "127.0.0.1"},
      {"127.0.0.1", "1.2.3.4", "1.2.3.4"},
      {"127.0.0.1", "6.6.6.6, 1.2.3.4", "1.2.3.4"},         // right-most untrusted
      {"127.0.0.1", "6.6.6.6, 1.2.3.4, 10.0.0.2", "1.2.3.4"},
      {"::1", " 5.5.5.5 ,", "5.5.5.5"},
      {"127.0.0.1", "10.0.0.2, 127.0.0.1", "10.0.0.2"},     // all trusted: left-most
      {"127.0.0.1", " , ", "127.0.0.1"},
      {"", "1.2.3.4", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.peer) + " / " + (c.xff ? c.xff : "-"));
    std::string xff = c.xff ? c.xff : "";
    EXPECT_EQ(resolve_client_host(c.peer, c.xff ? &xff : nullptr, trusted), c.expect);
  }
  // "*" trusts every peer and every hop: the left-most entry is the client.
  std::string xff = "6.6.6.6, 1.2.3.4";
  EXPECT_EQ(resolve_client_host("203.0.113.9", &xff, {"*"}), "6.6.6.6");
  Request r;
  EXPECT_EQ(r.client_host(), "unknown");
  r.client = "1.2.3.4";
  EXPECT_EQ(r.client_host(), "1.2.3.4");
}

// A proxy on this machine may connect over either loopback address: "127.0.0.1" trusts "::1".
TEST(ClientHost, LoopbackProxyOverIpv6IsTrustedWith127001) {
  const std::string xff = "203.0.113.7";
  EXPECT_EQ(resolve_client_host("::1", &xff, {"127.0.0.1"}), "203.0.113.7");
  EXPECT_TRUE(is_trusted_proxy({"127.0.0.1"}, "::1"));
  EXPECT_FALSE(is_trusted_proxy({"10.0.0.2"}, "::1"));
}

TEST(Forwarded, ForNodesOfEachElement) {
  struct Case {
    const char* value;
    std::vector<std::string> nodes;
  };
  const Case cases[] = {
      {"for=192.0.2.43", {"192.0.2.43"}},
      {"For=\"192.0.2.43:8080\";proto=https", {"192.0.2.43"}},
      {"for=\"[2001:db8::17]:4711\"", {"2001:db8::17"}},
      {"for=\"[::1]\"", {"::1"}},
      {"for=192.0.2.43, for=198.51.100.17;by=203.0.113.60", {"192.0.2.43", "198.51.100.17"}},
      {"proto=http;by=10.0.0.2", {""}},
      {"for=unknown", {"unknown"}},
      {"for=_hidden, for=127.0.0.1", {"_hidden", "127.0.0.1"}},
      {"by=\"a,b\";for=127.0.0.1", {"127.0.0.1"}},  // a comma inside quotes splits nothing
      {"", {""}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(forwarded_for_nodes(c.value), c.nodes);
  }
}

// Local only when the peer is loopback and every forwarding header names, through trusted
// proxies, a loopback client; anything doubtful is not local.
TEST(LocalRequest, FailsClosed) {
  const std::vector<std::string> local_proxy{"127.0.0.1"};
  const std::vector<std::string> any{"*"};
  struct Case {
    const char* peer;
    std::vector<std::pair<std::string, std::string>> headers;
    const std::vector<std::string>* trusted;
    bool local;
  };
  const Case cases[] = {
      {"127.0.0.1", {}, &local_proxy, true},
      {"::1", {}, &local_proxy, true},
      {"127.0.0.2", {}, &local_proxy, true},
      {"203.0.113.7", {}, &local_proxy, false},
      {"", {}, &local_proxy, false},
      {"127.0.0.1", {{"X-Forwarded-For", "127.0.0.1"}}, &local_proxy, true},
      {"127.0.0.1", {{"X-Forwarded-For", "203.0.113.7"}}, &local_proxy, false},
      {"127.0.0.1", {{"X-Forwarded-For", "203.0.113.7, 127.0.0.1"}}, &local_proxy, false},
      {"127.0.0.1", {{"X-Forwarded-For", "127.0.0.1"}, {"X-Forwarded-For", "203.0.113.7"}}, &local_proxy, false},
      {"127.0.0.1", {{"X-Forwarded-For", " , "}}, &local_proxy, false},
      {"127.0.0.1", {{"X-Forwarded-For", "not-an-address"}}, &local_proxy, false},
      // A proxy on this machine over ::1 forwards a remote client.
      {"::1", {{"X-Forwarded-For", "203.0.113.7"}}, &local_proxy, false},
      {"::1", {{"X-Forwarded-For", "::1"}}, &local_proxy, true},
      // Only the standard header.
      {"127.0.0.1", {{"Forwarded", "for=203.0.113.7"}}, &local_proxy, false},
      {"127.0.0.1", {{"Forwarded", "for=\"[::1]:5000\""}}, &local_proxy, true},
      {"127.0.0.1", {{"Forwarded", "for=unknown"}}, &local_proxy, false},
      {"127.0.0.1", {{"Forwarded", "proto=https"}}, &local_proxy, false},
      // Both headers: each must lead to this machine.
      {"127.0.0.1", {{"X-Forwarded-For", "127.0.0.1"}, {"Forwarded", "for=198.51.100.4"}}, &local_proxy, false},
      {"127.0.0.1", {{"X-Forwarded-For", "127.0.0.1"}, {"Forwarded", "for=127.0.0.1"}}, &local_proxy, true},
      // A loopback peer that is no trusted proxy: its header cannot be believed either way.
      {"127.0.0.1", {{"X-Forwarded-For", "127.0.0.1"}}, nullptr, false},
      // With every peer trusted, anyone may have written the header.
      {"127.0.0.1", {{"X-Forwarded-For", "127.0.0.1"}}, &any, false},
      {"127.0.0.1", {{"Forwarded", "for=127.0.0.1"}}, &any, false},
      {"127.0.0.1", {}, &any, true},
  };
  const std::vector<std::string> other_proxy{"10.0.0.2"};
  for (const Case& c : cases) {
    Headers h;
    std::string trace = std::string(c.peer) + " /";
    for (const auto& [k, v] : c.headers) {
      h.add(k, v);
      trace += " " + k + ": " + v;
    }
    SCOPED_TRACE(trace);
    h.add("Host", "127.0.0.1:8000");
    EXPECT_EQ(is_local_request(c.peer, h, c.trusted ? *c.trusted : other_proxy, "127.0.0.1"), c.local);
  }
}

// A page open in a browser on this machine connects over loopback too: the request is local only
// when its Host names this machine and its Origin, if any, is a loopback one.
TEST(LocalRequest, NamesThisMachineAndComesFromNoOtherSite) {
  struct Case {
    std::vector<std::pair<std::string, std::string>> headers;
    const char* listen_host;
    bool local;
  };
  const Case cases[] = {
      {{{"Host", "127.0.0.1:8000"}}, "127.0.0.1", true},
      {{{"Host", "127.0.0.1"}}, "127.0.0.1", true},
      {{{"Host", "localhost:8000"}}, "127.0.0.1", true},
      {{{"Host", "LocalHost"}}, "127.0.0.1", true},
      {{{"Host", "[::1]:8000"}}, "::", true},
      {{{"Host", "127.0.0.2:1"}}, "127.0.0.1", true},
      {{{"Host", "vekt.internal:8000"}}, "vekt.internal", true},
      {{{"Host", "10.1.2.3:8000"}}, "10.1.2.3", true},
      {{{"Host", "[0:0::1]"}}, "127.0.0.1", true},
      // Names of other machines, or of a page's own (DNS rebinding).
      {{{"Host", "evil.example:8000"}}, "127.0.0.1", false},
      {{{"Host", "localhost.evil.example"}}, "127.0.0.1", false},
      {{{"Host", "10.1.2.3:8000"}}, "127.0.0.1", false},
      {{{"Host", ""}}, "127.0.0.1", false},
      {{}, "127.0.0.1", false},
      {{{"Host", "127.0.0.1"}, {"Host", "127.0.0.1"}}, "127.0.0.1", false},
      {{{"Host", "evil.example/path?"}}, "127.0.0.1", false},
      // Origins: none, or one on this machine's loopback.
      {{{"Host", "127.0.0.1:8000"}, {"Origin", "http://127.0.0.1:8000"}}, "127.0.0.1", true},
      {{{"Host", "127.0.0.1:8000"}, {"Origin", "http://localhost:3000"}}, "127.0.0.1", true},
      {{{"Host", "127.0.0.1:8000"}, {"Origin", "https://[::1]"}}, "127.0.0.1", true},
      {{{"Host", "127.0.0.1:8000"}, {"Origin", "http://evil.example"}}, "127.0.0.1", false},
      {{{"Host", "127.0.0.1:8000"}, {"Origin", "http://localhost.evil.example"}}, "127.0.0.1", false},
      {{{"Host", "127.0.0.1:8000"}, {"Origin", "null"}}, "127.0.0.1", false},
      {{{"Host", "127.0.0.1:8000"}, {"Origin", "file://"}}, "127.0.0.1", false},
      {{{"Host", "127.0.0.1:8000"}, {"Origin", "http://127.0.0.1:8000/x"}}, "127.0.0.1", false},
      {{{"Host", "127.0.0.1:8000"}, {"Origin", "http://127.0.0.1"}, {"Origin", "http://evil.example"}},
       "127.0.0.1",
       false},
  };
  for (const Case& c : cases) {
    Headers h;
    std::string trace = std::string("listening on ") + c.listen_host;
    for (const auto& [k, v] : c.headers) {
      h.add(k, v);
      trace += " / " + k + ": " + v;
    }
    SCOPED_TRACE(trace);
    EXPECT_EQ(is_local_request("127.0.0.1", h, {"127.0.0.1"}, c.listen_host), c.local);
  }
}

TEST(Headers, CountAndJoinedFields) {
  Headers h;
  EXPECT_EQ(h.count("Authorization"), 0u);
  EXPECT_FALSE(h.joined("X-Forwarded-For"));
  h.add("authorization", "Bearer a");
  h.add("X-Forwarded-For", "1.2.3.4");
  h.add("Authorization", "Bearer b");
  h.add("x-forwarded-for", "5.6.7.8");
  EXPECT_EQ(h.count("AUTHORIZATION"), 2u);
  EXPECT_EQ(h.joined("X-Forwarded-For"), "1.2.3.4,5.6.7.8");
}

TEST(Cors, PreflightAndAnswerFields) {
  Headers preflight;
  preflight.add("Origin", "https://maps.example.org");
  preflight.add("Access-Control-Request-Method", "POST");
  preflight.add("Access-Control-Request-Headers", "authorization");
  Headers plain_origin;
  plain_origin.add("Origin", "https://maps.example.org");
  Headers other_origin;
  other_origin.add("Origin", "https://evil.example");
  other_origin.add("Access-Control-Request-Method", "GET");

  const CorsPolicy any{{"*"}}, listed{{"https://maps.example.org"}}, off{};

  // Preflights are answered before routing; anything else is not one.
  auto ok = cors_preflight(any, "OPTIONS", preflight);
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->status, 200u);
  EXPECT_EQ(ok->headers.get("Access-Control-Allow-Origin"), "*");
  EXPECT_EQ(ok->headers.get("Access-Control-Allow-Methods"), "GET, POST, OPTIONS");
  EXPECT_EQ(ok->headers.get("Access-Control-Allow-Headers"), "authorization");
  EXPECT_EQ(ok->headers.get("Access-Control-Max-Age"), "600");
  EXPECT_FALSE(cors_preflight(any, "OPTIONS", plain_origin));  // plain OPTIONS: routed (405)
  EXPECT_FALSE(cors_preflight(any, "GET", preflight));
  EXPECT_FALSE(cors_preflight(off, "OPTIONS", preflight));
  auto echoed = cors_preflight(listed, "OPTIONS", preflight);
  ASSERT_TRUE(echoed);
  EXPECT_EQ(echoed->headers.get("Access-Control-Allow-Origin"), "https://maps.example.org");
  EXPECT_EQ(echoed->headers.get("Vary"), "Origin");
  auto refused = cors_preflight(listed, "OPTIONS", other_origin);
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 400u);
  EXPECT_FALSE(refused->headers.contains("Access-Control-Allow-Origin"));

  // Every answer, errors included, carries the field its request earns.
  struct Case {
    const CorsPolicy* policy;
    const Headers* request;
    const char* allow_origin;  // "" = absent
  } cases[] = {
      {&any, &plain_origin, "*"},
      {&any, nullptr, "*"},
      {&listed, &plain_origin, "https://maps.example.org"},
      {&listed, &other_origin, ""},
      {&off, &plain_origin, ""},
  };
  for (const auto& c : cases) {
    Response r = error_response(HttpError(404, "Not Found"));
    add_cors_headers(*c.policy, c.request ? *c.request : Headers{}, r);
    EXPECT_EQ(r.headers.get("Access-Control-Allow-Origin"), c.allow_origin);
  }
}

// Answers that act for the operator or carry documents are shared with an origin only when the
// policy names it: "*" offers them to no one.
TEST(Cors, TheNamedScopeSharesOnlyWithOriginsListedByName) {
  Headers maps, evil, star, preflight;
  maps.add("Origin", "https://maps.example.org");
  evil.add("Origin", "https://evil.example");
  star.add("Origin", "*");
  preflight.add("Origin", "https://evil.example");
  preflight.add("Access-Control-Request-Method", "POST");
  const CorsPolicy any{{"*"}}, both{{"*", "https://maps.example.org"}}, star_listed{{"https://maps.example.org"}};
  struct Case {
    const CorsPolicy* policy;
    const Headers* request;
    const char* allow_origin;  // "" = absent
  } cases[] = {
      {&any, &maps, ""},
      {&any, &evil, ""},
      {&both, &maps, "https://maps.example.org"},
      {&both, &evil, ""},
      {&both, &star, ""},
      {&star_listed, &star, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request->get("Origin"));
    Response r = error_response(HttpError(403, "no"));
    add_cors_headers(*c.policy, *c.request, r, OriginScope::named);
    EXPECT_EQ(r.headers.get("Access-Control-Allow-Origin"), c.allow_origin);
    EXPECT_EQ(r.headers.get("Vary"), "Origin");
  }
  auto refused = cors_preflight(any, "OPTIONS", preflight, OriginScope::named);
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 400u);
  EXPECT_FALSE(refused->headers.contains("Access-Control-Allow-Origin"));
  ASSERT_TRUE(cors_preflight(any, "OPTIONS", preflight));  // the listed scope: "*" as before
  EXPECT_EQ(cors_preflight(any, "OPTIONS", preflight)->status, 200u);
}

TEST(Responses, Helpers) {
  Json j = Json::object();
  j["a"] = 1.0;
  Response r = json_response(201, j);
  EXPECT_EQ(r.status, 201u);
  EXPECT_EQ(r.content_type, "application/json");
  EXPECT_EQ(r.body, "{\"a\":1.0}");

  Response b = bytes_response(200, std::string("\x1a\x00\xff", 3), "application/vnd.mapbox-vector-tile",
                              {{"X-Cache", "HIT"}});
  EXPECT_EQ(b.body.size(), 3u);
  EXPECT_EQ(b.headers.get("X-Cache"), "HIT");

  Response e = empty_response();
  EXPECT_EQ(e.status, 204u);
  EXPECT_TRUE(e.body.empty());
  EXPECT_TRUE(e.content_type.empty());
  EXPECT_TRUE(e.headers.fields().empty());

  Response err = error_response(HttpError(429, "Too many map requests. Please slow down panning."));
  EXPECT_EQ(err.status, 429u);
  EXPECT_EQ(err.body, "{\"detail\":\"Too many map requests. Please slow down panning.\"}");
  EXPECT_TRUE(err.headers.fields().empty());
}

TEST(PercentEncodePath, RoundTrips) {
  for (std::string p : {"/gis/plots/", "/a b/é/", "/x%y?z#"}) EXPECT_EQ(percent_decode(percent_encode_path(p), false), p);
  EXPECT_EQ(percent_encode_path("/a b/?"), "/a%20b/%3F");
}

}  // namespace
