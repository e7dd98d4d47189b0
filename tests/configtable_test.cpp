#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "configtable.h"

namespace {

using T = cTableType;

std::string text(const T& v) {
    return static_cast<std::string>(v);
}
int as_int(const T& v) {
    return static_cast<int>(v);
}
float as_float(const T& v) {
    return static_cast<float>(v);
}
bool as_bool(const T& v) {
    return static_cast<bool>(v);
}

TEST(TableValue, ConversionsByKind) {
    T nil;
    EXPECT_EQ(nil.getType(), T::TTE_NIL);
    EXPECT_EQ(as_int(nil), -1);
    EXPECT_FALSE(as_bool(nil));
    EXPECT_EQ(as_float(nil), -1.0f);
    EXPECT_EQ(text(nil), "nil");
    EXPECT_EQ(static_cast<cConfigTable*>(nil), nullptr);

    T empty(std::string(""));
    EXPECT_EQ(empty.getType(), T::TTE_STRING);
    EXPECT_EQ(text(empty), "");
    T digits(std::string("42"));
    EXPECT_EQ(as_int(digits), -1);
    EXPECT_EQ(as_float(digits), -1.0f);
    EXPECT_FALSE(as_bool(digits));

    T yes(true);
    EXPECT_EQ(text(yes), "1");
    EXPECT_EQ(as_int(yes), 1);
    EXPECT_EQ(as_float(yes), 1.0f);
    EXPECT_EQ(text(T(false)), "0");

    EXPECT_EQ(text(T(-5)), "-5");
    EXPECT_EQ(text(T(std::numeric_limits<int>::min())), "-2147483648");
    EXPECT_EQ(as_float(T((1 << 24) + 1)), 16777216.0f);
    EXPECT_FALSE(as_bool(T(0)));
    EXPECT_TRUE(as_bool(T(-3)));
}

TEST(TableValue, FloatToIntIsDefinedEverywhere) {
    EXPECT_EQ(as_int(T(2.9f)), 2);
    EXPECT_EQ(as_int(T(-2.9f)), -2);
    EXPECT_EQ(as_int(T(3.0e9f)), 2147483647);
    EXPECT_EQ(as_int(T(-3.0e9f)), -2147483647 - 1);
    EXPECT_EQ(as_int(T(2147483648.0f)), 2147483647);
    EXPECT_EQ(as_int(T(-2147483648.0f)), -2147483647 - 1);
    EXPECT_EQ(as_int(T(std::numeric_limits<float>::infinity())), 2147483647);
    EXPECT_EQ(as_int(T(-std::numeric_limits<float>::infinity())), -2147483647 - 1);
    EXPECT_EQ(as_int(T(std::nanf(""))), 0);
    EXPECT_FALSE(as_bool(T(-0.0f)));
    EXPECT_TRUE(as_bool(T(std::nanf(""))));
}

TEST(TableValue, FloatTextIsPercentG) {
    EXPECT_EQ(text(T(2.0f)), "2");
    EXPECT_EQ(text(T(1.5f)), "1.5");
    EXPECT_EQ(text(T(0.1f)), "0.1");
    EXPECT_EQ(text(T(123456.7f)), "123457");
    EXPECT_EQ(text(T(2.5e6f)), "2.5e+06");
    EXPECT_EQ(text(T(0.00001f)), "1e-05");
    EXPECT_EQ(text(T(-0.0f)), "-0");
    EXPECT_EQ(text(T(std::numeric_limits<float>::infinity())), "inf");
    EXPECT_EQ(text(T(-std::numeric_limits<float>::infinity())), "-inf");
}

TEST(TableValue, TableReferenceTextAndSharing) {
    cConfigTable* t = new cConfigTable();
    T ref(t);
    std::string s = text(ref);
    EXPECT_EQ(s.rfind("0x", 0), 0u);
    EXPECT_EQ(std::stoull(s.substr(2), nullptr, 16), reinterpret_cast<uintptr_t>(t));
    EXPECT_EQ(text(T(static_cast<cConfigTable*>(nullptr))), "0");
    {
        T copy = ref;
        EXPECT_EQ(static_cast<cConfigTable*>(copy), t);
    }
    static_cast<cConfigTable*>(ref)->insert(1, 2);
    EXPECT_EQ(t->size(), 1u);
    delete t;
}

TEST(TableValue, EqualityFollowsTheLeftOperand) {
    EXPECT_FALSE(T(7) == T(std::string("7")));
    EXPECT_TRUE(T(std::string("7")) == T(7));
    EXPECT_TRUE(T(1) == T(1.5f));
    EXPECT_FALSE(T(1.5f) == T(1));
    EXPECT_TRUE(T(true) == T(5));
    EXPECT_FALSE(T(5) == T(true));
    EXPECT_TRUE(T(std::string("1")) == T(true));
    EXPECT_TRUE(T(std::string("1.5")) == T(1.5f));
    EXPECT_FALSE(T(std::nanf("")) == T(std::nanf("")));
    EXPECT_TRUE(T(0.0f) == T(-0.0f));

    T nil;
    for (const T& v : {T(false), T(-1), T(std::string("nil")), T(-1.0f),
                       T(static_cast<cConfigTable*>(nullptr))}) {
        EXPECT_TRUE(nil == v);
        EXPECT_TRUE(v == nil) << text(v);
    }
    EXPECT_FALSE(T(3) == nil);
    for (const T& v : {T(std::string("x")), T(), T(static_cast<cConfigTable*>(nullptr))}) {
        EXPECT_TRUE(T(-1) == v);
        EXPECT_TRUE(T(-1.0f) == v);
    }

    cConfigTable a, b;
    T null_ref(static_cast<cConfigTable*>(nullptr));
    EXPECT_TRUE(null_ref == T(3));
    EXPECT_TRUE(null_ref == T(static_cast<cConfigTable*>(nullptr)));
    EXPECT_FALSE(null_ref == T(&a));
    EXPECT_TRUE(T(&a) == T(&a));
    EXPECT_FALSE(T(&a) == T(&b));
    EXPECT_FALSE(T(&a) == T(1));
}

TEST(TableValue, OrderIsIdentity) {
    T a(1), b(1);
    EXPECT_NE(a < b, b < a);
    EXPECT_FALSE(a < a);
}

TEST(ConfigTable, EmptyTable) {
    cConfigTable t;
    cConfigTable::cConfigTableIter it(&t);
    EXPECT_FALSE(it.isPair());
    EXPECT_FALSE(it.next());
    T v = t.get(T(3));
    EXPECT_EQ(v.getType(), T::TTE_NUM);
    EXPECT_EQ(as_int(v), -1);
    EXPECT_EQ(as_int(t.get(T())), -1);
    t.dump_table();
}

TEST(ConfigTable, InsertionOrderDuplicatesAndIteration) {
    cConfigTable t;
    t.insert(1, std::string("A"));
    t.insert(1, std::string("B"));
    t.insert(std::string("5"), 50);
    t.insert(5, 55);
    EXPECT_EQ(text(t.get(T(1))), "A");

    std::string seen;
    cConfigTable::cConfigTableIter it(&t);
    it.first();
    while (it.isPair()) {
        seen += text(it.key()) + "=" + text(it.value()) + ";";
        it.next();
    }
    EXPECT_EQ(seen, "1=A;1=B;5=50;5=55;");
    EXPECT_FALSE(it.next());
    it.first();
    EXPECT_TRUE(it.isPair());

    // A text probe compares keys as text; a number probe turns text keys into -1.
    EXPECT_EQ(as_int(t.get(std::string("5"))), 50);
    EXPECT_EQ(as_int(t.get(T(5))), 55);
    EXPECT_EQ(as_int(t.get(T(-1))), 50);
    EXPECT_EQ(text(t.get(T())), "A");
}

TEST(ConfigTable, SingleEntryIteratorContract) {
    cConfigTable t;
    t.insert(std::string("k"), std::string("v"));
    cConfigTable::cConfigTableIter it(&t);
    EXPECT_TRUE(it.isPair());
    EXPECT_TRUE(it.next());
    EXPECT_FALSE(it.isPair());
    EXPECT_FALSE(it.next());
}

class CountedTable : public cConfigTable {
public:
    explicit CountedTable(int* deaths) : mDeaths(deaths) {}
    ~CountedTable() override { ++*mDeaths; }

private:
    int* mDeaths;
};

TEST(ConfigTable, OwnsNestedValueTablesButNotKeyTables) {
    int deaths = 0;
    CountedTable* key_table = new CountedTable(&deaths);
    {
        auto* outer = new CountedTable(&deaths);
        auto* middle = new CountedTable(&deaths);
        middle->insert(0, new CountedTable(&deaths));
        outer->insert(T(std::string("m")), middle);
        outer->insert(T(key_table), T(1));
        outer->insert(7, T(static_cast<cConfigTable*>(nullptr)));
        outer->dump_table();
        delete static_cast<cConfigTable*>(outer);
    }
    EXPECT_EQ(deaths, 3);
    delete key_table;
    EXPECT_EQ(deaths, 4);
}

} // namespace
