#include "update/statement_checks.h"

#include <gtest/gtest.h>

namespace {

ReleaseStatement Stated(StatementKind kind, const char* product, const char* version, const char* name) {
    ReleaseStatement s;
    s.kind = kind;
    s.product = product;
    s.version = version;
    s.fileName = name;
    s.size = 1000;
    s.sha256 = std::string(64, 'a');
    return s;
}

StatementExpectation Mesalto(const char* programVersion, const char* floor) {
    StatementExpectation e;
    e.kind = StatementKind::Program;
    e.product = "MarvekMesalto";
    e.programVersion = programVersion;
    e.installedFloor = floor;
    return e;
}

}  // namespace

TEST(StatementChecks, EachCheckInItsOrder) {
    const ReleaseStatement program = Stated(StatementKind::Program, "MarvekMesalto", "6.0.3.17", "mesalto.exe");
    struct Row {
        const char* what;
        ReleaseStatement statement;
        StatementExpectation expected;
        bool nameUsable;
        StatementCheck check;
    };
    StatementExpectation agent;
    agent.kind = StatementKind::Agent;
    agent.programVersion = "1.26.0803";
    agent.fileName = "trevanto.exe";
    const Row rows[] = {
        {"newer program", program, Mesalto("5.2.1.0", ""), true, StatementCheck::Passed},
        {"program as a new agent", program, agent, true, StatementCheck::Kind},
        {"agent as a program", Stated(StatementKind::Agent, "", "9.0", "trevanto.exe"), Mesalto("5.2.1.0", ""), true,
         StatementCheck::Kind},
        {"another product", Stated(StatementKind::Program, "MarvekOlvo", "9.0", "olvo.exe"), Mesalto("5.2.1.0", ""),
         true, StatementCheck::Product},
        {"name refused", program, Mesalto("5.2.1.0", ""), false, StatementCheck::Name},
        {"same version", program, Mesalto("6.0.3.17", ""), true, StatementCheck::Version},
        {"older than the program", program, Mesalto("7.0", ""), true, StatementCheck::Version},
        {"older than installed, no resource", program, Mesalto("", "6.1"), true, StatementCheck::Version},
        {"newer than both", program, Mesalto("6.0", "6.0.3.16"), true, StatementCheck::Passed},
        {"new agent", Stated(StatementKind::Agent, "", "1.26.0900", "TREVANTO.EXE"), agent, true,
         StatementCheck::Passed},
        {"agent under another name", Stated(StatementKind::Agent, "", "1.26.0900", "mesalto.exe"), agent, true,
         StatementCheck::Name},
        {"older agent", Stated(StatementKind::Agent, "", "1.26.0802", "trevanto.exe"), agent, true,
         StatementCheck::Version},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(CheckStatement(row.statement, row.expected, row.nameUsable), row.check) << row.what;
    }
    EXPECT_EQ(CheckStatedBytes(program, 1000, std::string(64, 'a')), StatementCheck::Passed);
    EXPECT_EQ(CheckStatedBytes(program, 1001, std::string(64, 'a')), StatementCheck::Size);
    EXPECT_EQ(CheckStatedBytes(program, 1000, std::string(64, 'b')), StatementCheck::Sha256);
    EXPECT_EQ(CheckStatedBytes(program, 1000, ""), StatementCheck::Sha256);  // no digest could be taken
}

TEST(StatementChecks, JournalCodesAndTrustCodes) {
    EXPECT_STREQ(StatementCheckCode(StatementCheck::Version), "DECLARACION_VERSION");
    EXPECT_STREQ(StatementCheckCode(StatementCheck::Missing), "DECLARACION_AUSENTE");
    EXPECT_EQ(StatementCheckTrustCode(StatementCheck::Missing), 0x800B0100ul);
    EXPECT_EQ(StatementCheckTrustCode(StatementCheck::Signature), 0x80096010ul);
    EXPECT_EQ(StatementCheckTrustCode(StatementCheck::Sha256), 0x80096010ul);
    EXPECT_EQ(StatementCheckTrustCode(StatementCheck::Kind), 0x800B0110ul);
    EXPECT_EQ(StatementCheckTrustCode(StatementCheck::Product), 0x800B0004ul);
    EXPECT_EQ(StatementCheckTrustCode(StatementCheck::Version), 0x800B0101ul);
}
