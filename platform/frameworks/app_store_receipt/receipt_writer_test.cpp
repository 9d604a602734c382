// Tests of the DER pieces and of the receipt writer.
#include <doctest/doctest.h>

#include <algorithm>

#include "platform/foundation/bundle.h"
#include "platform/frameworks/app_store_receipt/receipt_writer.h"
#include "testsupport/temp_dir.h"

using namespace platform;

TEST_CASE("DER pieces: lengths in short and long form, minimal integers, strings and dates") {
    struct Case {
        DERBytes actual;
        DERBytes expected;
    };
    const std::vector<Case> cases = {
        {derLength(5), {0x05}},
        {derLength(127), {0x7F}},
        {derLength(128), {0x81, 0x80}},
        {derLength(300), {0x82, 0x01, 0x2C}},
        {derInteger(17), {0x02, 0x01, 0x11}},
        {derInteger(1702), {0x02, 0x02, 0x06, 0xA6}},
        {derInteger(128), {0x02, 0x02, 0x00, 0x80}},
        {derInteger(-1), {0x02, 0x01, 0xFF}},
        {derInteger(0), {0x02, 0x01, 0x00}},
        {derUnsignedInteger(0xFFFFFFFFFFFFFFFFull), {0x02, 0x09, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
        {derUTF8String("ab"), {0x0C, 0x02, 'a', 'b'}},
        {derIA5String("x"), {0x16, 0x01, 'x'}},
    };
    for (const auto& c : cases) CHECK(c.actual == c.expected);
    CHECK(receiptDateText(0) == "1970-01-01T00:00:00Z");
    CHECK(receiptDateText(1700000000.75) == "2023-11-14T22:13:20Z");
}

TEST_CASE("a receipt is one SET of attribute SEQUENCEs; a purchase is attribute 17 holding its own SET") {
    Receipt receipt;
    receipt.bundleIdentifier = "b";
    receipt.applicationVersion = "1";
    ReceiptPurchase purchase;
    purchase.productID = "p";
    purchase.transactionID = "t";
    purchase.originalTransactionID = "t";
    receipt.purchases.push_back(purchase);
    const auto bytes = ReceiptWriter::encode(receipt);
    REQUIRE(bytes.size() > 2);
    CHECK(bytes[0] == 0x31);
    const DERBytes start{0x02, 0x01, 0x11, 0x02, 0x01, 0x01, 0x04};
    CHECK(std::search(bytes.begin(), bytes.end(), start.begin(), start.end()) != bytes.end());
    const DERBytes product{0x02, 0x02, 0x06, 0xA6, 0x02, 0x01, 0x01, 0x04, 0x03, 0x0C, 0x01, 'p'};
    CHECK(std::search(bytes.begin(), bytes.end(), product.begin(), product.end()) != bytes.end());

    testsupport::TempDir dir;
    const auto path = dir.path() / "Store" / "receipt";
    REQUIRE(ReceiptWriter::write(receipt, path));
    const auto read = readFile(path);
    REQUIRE(read);
    CHECK(DERBytes(read->begin(), read->end()) == bytes);
    ReceiptWriter::remove(path);
    CHECK_FALSE(std::filesystem::exists(path));
}
