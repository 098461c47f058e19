// The console: every page escapes what agents sent, and access takes an
// operator's login, a session cookie that scripts cannot read, and the
// session's CSRF token for anything that changes state.
#include <gtest/gtest.h>

#include <regex>

#include "../service_fixture.h"
#include "console/accounts.h"
#include "console/console_routes.h"
#include "console/pages.h"

namespace {

const std::string Hostile = "<img src=x onerror=alert(1)>";
const std::string HostileText = "&lt;img src=x onerror=alert(1)&gt;";

InstallationLine HostileLine() {
    return InstallationLine{"0123456789abcdef0123456789abcdef", "Marvek\"><script>", Hostile, "5.2'1", "ayer", Hostile};
}

std::string SetCookieOf(const httplib::Result& res, const std::string& name) {
    for (const auto& [key, value] : res->headers) {
        if (key == "Set-Cookie" && value.rfind(name + "=", 0) == 0) return value;
    }
    return "";
}

std::string CsrfIn(const std::string& page) {
    std::smatch match;
    return std::regex_search(page, match, std::regex("name=\"csrf\" value=\"([0-9a-f]{64})\"")) ? match[1].str() : "";
}

}  // namespace

TEST(ConsolePages, WhatAgentsSentIsShownAsText) {
    const PageFrame frame{"T", "ana", "c"};
    FleetSummary summary;
    summary.byProductAndVersion = {{"Marvek<b>", Hostile, 3}};
    summary.agentVersions = {{"1.26'0803\"", "", 1}};
    InstallationHistory history;
    history.found = true;
    history.installation = HostileLine();
    history.installedPath = "C:\\<script>alert(3)</script>";
    history.events = {{"hoy", "informe", "INSTALACION_FALLIDA: " + Hostile}};
    RolloutView view;
    view.rollout.release.url = "https://x.example/\"onmouseover=\"alert(4)";
    view.rollout.haltReason = Hostile;
    view.rollout.settings.stages = {Stage{false, 100}};
    StageFunnel funnel;
    funnel.stage = Stage{false, 100};
    funnel.failures = {{"PASO\"><i>", 5, 2}};
    view.stages = {funnel};
    view.installations = {HostileLine()};
    const std::vector<FailureRow> failures = {{1, "P", "6", "<u>paso</u>", 13, 4}};
    const std::string pages[] = {
        SummaryPage(frame, summary),
        InstallationPage(frame, history),
        RolloutPage(frame, view, ""),
        FailuresPage(frame, failures),
        InstallationListPage(frame, Hostile, Hostile, {HostileLine()}),
        LoginPage("x", Hostile),
    };
    for (const std::string& page : pages) {
        EXPECT_EQ(page.find("<img"), std::string::npos) << page;
        EXPECT_EQ(page.find("<script>"), std::string::npos) << page;
        EXPECT_EQ(page.find("<b>"), std::string::npos);
        EXPECT_EQ(page.find("<u>"), std::string::npos);
        EXPECT_EQ(page.find("<i>"), std::string::npos);
        EXPECT_EQ(page.find("\"onmouseover"), std::string::npos);
        EXPECT_EQ(page.find("onerror=alert(1)>"), std::string::npos);
    }
    EXPECT_NE(pages[0].find("<td>" + HostileText + "</td>"), std::string::npos);
    EXPECT_NE(pages[1].find("C:\\&lt;script&gt;alert(3)&lt;/script&gt;"), std::string::npos);
    EXPECT_NE(pages[2].find("Motivo: " + HostileText), std::string::npos);
    EXPECT_NE(pages[2].find("paso=PASO%22%3E%3Ci%3E&amp;codigo=5"), std::string::npos);
    EXPECT_NE(pages[4].find("value=\"" + HostileText + "\""), std::string::npos);
    EXPECT_EQ(Html(std::string("a\x1b[2J\x07\tb\n")), "a&#xFFFD;[2J&#xFFFD;\tb\n");
}

TEST(ConsoleAccess, LoginSessionCookieAndCsrf) {
    TempDataFolder data;
    ServiceOptions options;
    options.logins.firstWaitSeconds = 200;  // long enough that a slow machine cannot outlast it
    RunningService service(data.Root(), options);
    {
        Database db;
        std::string error;
        ASSERT_TRUE(OpenDatabase(service.DatabasePath(), false, 5000, db, error));
        ASSERT_TRUE(SaveOperator(db, "ana", "una-clave-muy-larga", error)) << error;
        ASSERT_TRUE(SaveOperator(db, "luis", "otra-clave-muy-larga", error)) << error;
    }
    httplib::Client client = service.Client();

    auto res = client.Get("/panel/resumen");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 303);
    EXPECT_EQ(res->get_header_value("Location"), "/panel/entrar");
    res = client.Get("/panel/api/resumen");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 401);

    res = client.Get("/panel/entrar");
    ASSERT_TRUE(res);
    const std::string loginCookie = SetCookieOf(res, "panel_entrada");
    const std::string loginCsrf = CsrfIn(res->body);
    ASSERT_EQ(loginCookie, "panel_entrada=" + loginCsrf + "; Path=/panel/; HttpOnly; Secure; SameSite=Strict; Max-Age=3600");
    EXPECT_EQ(res->get_header_value("Content-Security-Policy").rfind("default-src 'none'", 0), 0u);
    EXPECT_EQ(res->get_header_value("X-Frame-Options"), "DENY");
    const httplib::Headers withLoginCookie = {{"Cookie", "panel_entrada=" + loginCsrf}};
    const auto login = [&](const std::string& name, const std::string& password, const std::string& csrf) {
        return client.Post("/panel/entrar", withLoginCookie, "csrf=" + csrf + "&usuario=" + name + "&clave=" + password,
                           "application/x-www-form-urlencoded");
    };
    res = login("luis", "otra-clave-muy-larga", std::string(64, 'f'));  // a token that is not the cookie's
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 403);
    res = login("luis", "otra-clave-muy-larga", loginCsrf);
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 303);
    EXPECT_EQ(res->get_header_value("Location"), "/panel/resumen");
    const std::string session = SetCookieOf(res, "panel_sesion");
    const std::regex shape("panel_sesion=([0-9a-f]{64}); Path=/panel/; HttpOnly; Secure; SameSite=Strict; Max-Age=43200");
    std::smatch match;
    ASSERT_TRUE(std::regex_match(session, match, shape)) << session;
    const httplib::Headers withSession = {{"Cookie", "panel_sesion=" + match[1].str()}};
    res = login("luis", "otra-clave-muy-larga", loginCsrf);  // a second session, on another browser
    ASSERT_TRUE(res);
    const std::string other = SetCookieOf(res, "panel_sesion");
    std::smatch otherMatch;
    ASSERT_TRUE(std::regex_match(other, otherMatch, shape));
    const httplib::Headers withOtherSession = {{"Cookie", "panel_sesion=" + otherMatch[1].str()}};

    for (int i = 0; i < 5; ++i) {
        res = login("ana", "otra", loginCsrf);
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 401) << i;
        EXPECT_NE(res->body.find("Usuario o clave incorrectos."), std::string::npos);
        EXPECT_EQ(SetCookieOf(res, "panel_sesion"), "");
    }
    // Five failures: now even the right password must wait.
    res = login("ana", "una-clave-muy-larga", loginCsrf);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 429);
    EXPECT_GT(std::stoi(res->get_header_value("Retry-After")), 100);
    EXPECT_EQ(SetCookieOf(res, "panel_sesion"), "");

    res = client.Get("/panel/resumen", withSession);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->get_header_value("Cache-Control"), "no-store");
    const std::string csrf = CsrfIn(res->body);
    ASSERT_EQ(csrf.size(), 64u);
    // Changing anything needs the session's token.
    for (const std::string& body : {std::string(), "csrf=" + std::string(64, '0'), "csrf=" + loginCsrf}) {
        res = client.Post("/panel/despliegues/1/pausar", withSession, body, "application/x-www-form-urlencoded");
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 403) << body;
    }
    res = client.Post("/panel/despliegues/1/pausar", withSession, "csrf=" + csrf, "application/x-www-form-urlencoded");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 303);
    EXPECT_EQ(res->get_header_value("Location"), "/panel/despliegues/1?aviso=rechazado");  // there is no such rollout
    res = client.Post("/panel/api/despliegues/1/pausar", {{"Cookie", "panel_sesion=" + match[1].str()}}, "", "text/plain");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 403);  // the API's token goes in X-CSRF-Token
    // The API logs in with JSON only.
    res = client.Post("/panel/api/entrar", R"({"usuario":"luis","clave":"otra-clave-muy-larga"})", "text/plain");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 415);
    // Logging out ends the session.
    res = client.Post("/panel/salir", withSession, "csrf=" + csrf, "application/x-www-form-urlencoded");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 303);
    res = client.Get("/panel/api/resumen", withSession);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 401);
    // A new password ends every session of the operator; removing one ends them too.
    res = client.Get("/panel/api/resumen", withOtherSession);
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 200);
    Database db;
    std::string error;
    ASSERT_TRUE(OpenDatabase(service.DatabasePath(), false, 5000, db, error));
    EXPECT_FALSE(SaveOperator(db, "nadie", "una-clave-nueva-larga", error, true));
    EXPECT_EQ(error, "there is no operator nadie");
    ASSERT_TRUE(SaveOperator(db, "luis", "una-clave-nueva-larga", error, true)) << error;
    res = client.Get("/panel/api/resumen", withOtherSession);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 401);
    EXPECT_EQ(StoreNumber(service.DatabasePath(), "SELECT COUNT(*) FROM sessions WHERE operator = 'luis'"), 0);
    ASSERT_TRUE(RemoveOperator(db, "luis", error)) << error;
    EXPECT_FALSE(RemoveOperator(db, "luis", error));
    EXPECT_EQ(StoreNumber(service.DatabasePath(), "SELECT COUNT(*) FROM operators"), 1);
}
