// Catches a required signer that matches a certificate of another subject (another organisation
// under the same common name, attributes missing or added) or fails to match the certificate it
// names in the form openssl or certutil prints.
#include "tarnbeam/retrieval/portable/subject_name.h"

#include <gtest/gtest.h>

using publisher::DistinguishedName;
using publisher::parseSubject;
using publisher::sameSubject;

namespace {

// The certificate's subject in its own order, as the platform decodes it.
const DistinguishedName kMaker = {
    {L"C", L"JP"}, {L"S", L"Tokyo"}, {L"O", L"Ondrel Co., Ltd."}, {L"CN", L"Ondrel Update"}};

bool Matches(const wchar_t *text, const DistinguishedName &actual = kMaker) {
    DistinguishedName required;
    return parseSubject(text, required) && sameSubject(required, actual);
}

} // namespace

TEST(SubjectName, BothToolsFormsMatchTheWholeSubject) {
    EXPECT_TRUE(Matches(L"subject=C = JP, ST = Tokyo, O = \"Ondrel Co., Ltd.\", CN = Ondrel Update"));
    EXPECT_TRUE(Matches(L"C = JP, ST = Tokyo, O = Ondrel Co.\\, Ltd., CN = Ondrel Update"));
    EXPECT_TRUE(Matches(L"CN=Ondrel Update, O=\"Ondrel Co., Ltd.\", S=Tokyo, C=JP"));
    EXPECT_TRUE(Matches(L"  cn=Ondrel Update; o=\"Ondrel Co., Ltd.\"; st=Tokyo; c=JP  "));
}

TEST(SubjectName, AnotherSubjectDoesNotMatch) {
    EXPECT_FALSE(Matches(L"CN=Ondrel Update"));                                        // common name only
    EXPECT_FALSE(Matches(L"CN=Ondrel Update, O=Someone Else, S=Tokyo, C=JP"));         // other organisation
    EXPECT_FALSE(Matches(L"CN=ondrel update, O=\"Ondrel Co., Ltd.\", S=Tokyo, C=JP")); // values are exact
    EXPECT_FALSE(Matches(L"C=JP, CN=Ondrel Update, O=\"Ondrel Co., Ltd.\", S=Tokyo")); // order
    EXPECT_FALSE(Matches(L"CN=Ondrel Update, OU=x, O=\"Ondrel Co., Ltd.\", S=Tokyo, C=JP")); // one more
    EXPECT_FALSE(Matches(L"CN=Ondrel Update, O=Ondrel Co., Ltd., S=Tokyo, C=JP")); // unescaped comma
}

TEST(SubjectName, MalformedTextIsNoSubject) {
    DistinguishedName name;
    for (const wchar_t *text : {L"", L"subject=", L"Ondrel Update", L"CN=\"open", L"=x", L"CN=a,, O=b"})
        EXPECT_FALSE(parseSubject(text, name)) << text;
}
