#include "update/release_statement.h"
#include "support/base64.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const std::string Digest = "31fd52f8996986623cf52c3b4d0f7ac74a9dec63fc16c902cef673eed550c435";

ReleaseStatement ProgramStatement() {
    ReleaseStatement s;
    s.kind = StatementKind::Program;
    s.product = "MarvekMesalto";
    s.version = "6.0.3.17";
    s.fileName = "mesalto_6.0.3.17.zip";
    s.size = 215040;
    s.sha256 = Digest;
    return s;
}

const std::string ProgramText = "trevanto-declaracion=1\ntipo=programa\nproducto=MarvekMesalto\nversion=6.0.3.17\n"
                                "archivo=mesalto_6.0.3.17.zip\ntamano=215040\nsha256=" + Digest + "\n";

}  // namespace

TEST(ReleaseStatement, OneCanonicalTextEachWay) {
    std::string text;
    ASSERT_TRUE(StatementText(ProgramStatement(), text));
    EXPECT_EQ(text, ProgramText);
    ReleaseStatement parsed;
    ASSERT_TRUE(ParseStatementText(ProgramText, parsed));
    EXPECT_EQ(parsed.product, "MarvekMesalto");
    EXPECT_EQ(parsed.fileName, "mesalto_6.0.3.17.zip");
    EXPECT_EQ(parsed.size, 215040u);

    ReleaseStatement agent = ProgramStatement();
    agent.kind = StatementKind::Agent;
    agent.product.clear();
    agent.version = "1.26.0900";
    agent.fileName = "trevanto.exe";
    ASSERT_TRUE(StatementText(agent, text));
    EXPECT_EQ(text, "trevanto-declaracion=1\ntipo=agente\nversion=1.26.0900\narchivo=trevanto.exe\ntamano=215040\n"
                    "sha256=" + Digest + "\n");
    ASSERT_TRUE(ParseStatementText(text, parsed));
    EXPECT_EQ(parsed.kind, StatementKind::Agent);
    EXPECT_TRUE(parsed.product.empty());
}

TEST(ReleaseStatement, AnyOtherSpellingIsRefused) {
    const auto replaced = [](const std::string& from, const std::string& to) {
        std::string text = ProgramText;
        text.replace(text.find(from), from.size(), to);
        return text;
    };
    const std::string refused[] = {
        "",
        ProgramText + "\n",                                         // bytes after the last line
        ProgramText.substr(0, ProgramText.size() - 1),              // no final LF
        replaced("\n", "\r\n"),                                     // a CR
        replaced("trevanto-declaracion=1", "trevanto-declaracion=2"),
        replaced("tipo=programa", "tipo=Programa"),
        replaced("tipo=programa\n", "tipo=agente\n"),               // an agent's statement names no product
        replaced("producto=MarvekMesalto\n", ""),                   // a program's names one
        replaced("producto=MarvekMesalto", "producto=Marvek Mesalto"),
        replaced("version=6.0.3.17", "version=6.0.3.17.1"),
        replaced("version=6.0.3.17", "version=6.0.3.65536"),
        replaced("version=6.0.3.17", "version=6..3"),
        replaced("version=6.0.3.17", "version=6.0.3.017000"),
        replaced("archivo=mesalto_6.0.3.17.zip", "archivo=.mesalto.zip"),
        replaced("archivo=mesalto_6.0.3.17.zip", "archivo=..\\mesalto.exe"),
        replaced("archivo=mesalto_6.0.3.17.zip", "archivo=mesalto 6.zip"),
        replaced("tamano=215040", "tamano=0215040"),
        replaced("tamano=215040", "tamano=0"),
        replaced("tamano=215040", "tamano=4294967296"),
        replaced("tamano=215040", "tamano= 215040"),
        replaced(Digest, std::string(63, 'a')),
        replaced("sha256=31", "sha256=3F"),                          // upper-case hex
        replaced("archivo=mesalto_6.0.3.17.zip\ntamano=215040\n", "tamano=215040\narchivo=mesalto_6.0.3.17.zip\n"),
        replaced("version=", "version=6.0\nversion="),                // a line twice
        ProgramText + std::string(StatementTextLimit, 'a'),
    };
    for (const std::string& text : refused) {
        ReleaseStatement parsed = ProgramStatement();
        parsed.product = "sin cambios";
        EXPECT_FALSE(ParseStatementText(text, parsed)) << text;
        EXPECT_EQ(parsed.product, "sin cambios");
    }
}

TEST(ReleaseStatement, VersionsAreFourNumbersComparedAsNumbers) {
    EXPECT_TRUE(IsNewerVersion("6.0.3.17", "5.2.1.0"));
    EXPECT_TRUE(IsNewerVersion("6.0.3.17", "6.0.3.9"));  // not as text
    EXPECT_TRUE(IsNewerVersion("1.26.0900", "1.26.0803"));
    EXPECT_TRUE(IsNewerVersion("6.1", "6.0.65535.65535"));
    EXPECT_FALSE(IsNewerVersion("6.0.3.17", "6.0.3.17"));
    EXPECT_FALSE(IsNewerVersion("6", "6.0.0.0"));
    EXPECT_FALSE(IsNewerVersion("5.9", "6.0.3.17"));
    EXPECT_TRUE(IsNewerVersion("0.0.0.1", ""));          // no version resource: no bound
    EXPECT_TRUE(IsNewerVersion("1.0", "no es version"));
    EXPECT_FALSE(IsNewerVersion("7.x", "1.0"));          // a candidate that is no version is never newer
    VersionNumbers numbers{};
    ASSERT_TRUE(ParseVersionNumbers("65535.0.7", numbers));
    EXPECT_EQ(numbers, (VersionNumbers{65535, 0, 7, 0}));
}

TEST(ReleaseStatement, MembersLineAsTheVendorsCommandPrintsIt) {
    const std::string line = StatementMembersJson("dHJldmFudG8=", "c2lnbmF0dXJl");
    EXPECT_EQ(line, "{\"declaracion\":\"dHJldmFudG8=\",\"declaracion_firma\":\"c2lnbmF0dXJl\"}");
    std::string statement, signature;
    ASSERT_TRUE(ParseStatementMembersJson(line + "\r\n", statement, signature));
    EXPECT_EQ(statement, "dHJldmFudG8=");
    EXPECT_EQ(signature, "c2lnbmF0dXJl");
    for (const std::string& bad : {std::string("{\"declaracion_firma\":\"YQ==\",\"declaracion\":\"YQ==\"}"),
                                   std::string("{\"declaracion\":\"Y\\\"Q==\",\"declaracion_firma\":\"YQ==\"}"),
                                   std::string("{\"declaracion\":\"\",\"declaracion_firma\":\"YQ==\"}"),
                                   std::string("<html>no existe</html>"), std::string()}) {
        EXPECT_FALSE(ParseStatementMembersJson(bad, statement, signature)) << bad;
    }
    EXPECT_EQ(EncodeBase64("trevanto"), "dHJldmFudG8=");
    EXPECT_EQ(EncodeBase64("ab"), "YWI=");
    EXPECT_EQ(EncodeBase64(""), "");
}
