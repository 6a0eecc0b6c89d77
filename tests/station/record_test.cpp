// The record's line: every field, its type, and its times in UTC.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "station/attempt/images.hpp"
#include "station/attempt/record.hpp"
#include "station/ledger/ledger.hpp"
#include "station/os/host.hpp"
#include "station/os/utc_time.hpp"

namespace xarveld::station {
namespace {

TEST(StationRecord, OneLineWithEveryField) {
  AttemptRecord record;
  record.host = "line-3";
  record.station_version = "1.0.0";
  record.slot = "a";
  record.port = "/dev/serial/by-path/pci-0000:00:14.0-usb-0:1.1:1.0-port0";
  record.port_device = "/dev/ttyUSB0";
  record.port_by_id = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
  record.tool_arguments = {"-p", "img.bin"};
  record.tool_command = {"-p", "/x/runs/images/ab.bin"};
  record.images = {{"image", "img.bin", 3000, std::string(64, 'a')}};
  record.board = 4;
  record.attempt = 2;
  record.start_unix_ms = 1796711416123;  // 2026-12-08T06:30:16.123Z
  record.end_unix_ms = 1796711431250;
  record.exit_status = 1;
  record.result = "FAIL";
  record.last_line = std::string("Could not open bin file: caf\xe9.bin");  // not UTF-8
  record.reason = "the loader refused to program device 5";
  record.reason_code = "REFUSED";
  record.directory = "runs/a/20261208T063016Z-1";

  std::string line = record_json_line(record);
  ASSERT_EQ(line.back(), '\n');
  EXPECT_EQ(line.find('\n'), line.size() - 1);
  nlohmann::json json = nlohmann::json::parse(line);
  EXPECT_EQ(json["host"], "line-3");
  EXPECT_EQ(json["station_version"], "1.0.0");
  EXPECT_EQ(json["slot"], "a");
  EXPECT_EQ(json["port"], record.port);
  EXPECT_EQ(json["port_device"], "/dev/ttyUSB0");
  EXPECT_EQ(json["port_by_id"], record.port_by_id);
  EXPECT_EQ(json["tool_arguments"], nlohmann::json({"-p", "img.bin"}));
  EXPECT_EQ(json["tool_command"][1], "/x/runs/images/ab.bin");
  EXPECT_EQ(json["images"][0]["role"], "image");
  EXPECT_EQ(json["images"][0]["name"], "img.bin");
  EXPECT_EQ(json["images"][0]["size"], 3000);
  EXPECT_EQ(json["images"][0]["sha256"], std::string(64, 'a'));
  EXPECT_EQ(json["board"], 4);
  EXPECT_EQ(json["attempt"], 2);
  EXPECT_EQ(json["start"], "2026-12-08T06:30:16.123Z");
  EXPECT_EQ(json["end"], "2026-12-08T06:30:31.250Z");
  EXPECT_DOUBLE_EQ(json["duration_s"].get<double>(), 15.127);
  EXPECT_EQ(json["exit_status"], 1);
  EXPECT_EQ(json["result"], "FAIL");
  EXPECT_EQ(json["last_line"], "Could not open bin file: caf\xef\xbf\xbd.bin");
  EXPECT_EQ(json["reason"], record.reason);
  EXPECT_EQ(json["reason_code"], "REFUSED");
  EXPECT_LT(line.find("\"last_line\":"), line.find("\"reason\":"));
  EXPECT_LT(line.find("\"reason\":"), line.find("\"directory\":"));
  EXPECT_EQ(json["directory"], "runs/a/20261208T063016Z-1");
  EXPECT_TRUE(json["log_sha256"].is_null());  // the run left no log.txt
  EXPECT_TRUE(json["serial"].is_null());      // a board without a number
  EXPECT_TRUE(json["image_sha256_burnt"].is_null());
  EXPECT_TRUE(json["ledger_error"].is_null());
  record.attempt_id = "4f";
  record.has_serial = true;
  record.serial = 1000;
  record.image_sha256_burnt = std::string(64, 'b');
  record.ledger_error = "the ledger cannot be reached";
  record.reason_code.clear();  // a pass has none
  json = nlohmann::json::parse(record_json_line(record));
  std::vector<std::string> fields;
  nlohmann::ordered_json ordered = nlohmann::ordered_json::parse(record_json_line(record));
  for (const auto& item : ordered.items()) fields.push_back(item.key());
  EXPECT_EQ(std::vector<std::string>(fields.end() - 6, fields.end()),
            (std::vector<std::string>{"log_sha256", "attempt_id", "serial", "image_sha256_burnt",
                                      "ledger_error", "backup_sha256"}));
  EXPECT_EQ(json["serial"], 1000);
  EXPECT_EQ(json["ledger_error"], "the ledger cannot be reached");
  EXPECT_TRUE(json["reason_code"].is_null());

  EXPECT_EQ(compact_utc(record.start_unix_ms), "20261208T063016Z");
  EXPECT_EQ(iso_utc(951782400000), "2000-02-29T00:00:00.000Z");  // a leap day
}

// The report's CSV as RFC 4180 has it, and the number in its place in the image.
TEST(StationRecord, ReportCsvAndNumberedImage) {
  const std::pair<std::string, std::string> fields[] = {
      {"plain", "plain"}, {"", ""}, {"a,b", "\"a,b\""}, {"say \"hi\"", "\"say \"\"hi\"\"\""},
      {"two\nlines", "\"two\nlines\""}, {"cr\r", "\"cr\r\""}, {" padded", "\" padded\""},
  };
  for (const auto& [text, field] : fields) EXPECT_EQ(csv_field(text), field) << text;
  EXPECT_EQ(csv_header() + csv_use_line({"p,1", 7, "used", "id", "st", "host", "a", 3, "PASS"}) +
                csv_use_line({"p", 8, "reserved", "id2", "st", "host", "", 0, ""}),
            "pool,serial,state,attempt_id,station_id,host,slot,board,result\r\n"
            "\"p,1\",7,used,id,st,host,a,3,PASS\r\np,8,reserved,id2,st,host,,,\r\n");
  SerialPlacement plan;
  plan.base_image = "0123456789";
  plan.offset = 6;
  plan.format = {SerialEncoding::U32Be, 4};
  EXPECT_EQ(numbered_image(plan, 0x41424344), "012345ABCD");
  EXPECT_EQ(random_id().size(), 32u);
  EXPECT_NE(random_id(), random_id());
}

}  // namespace
}  // namespace xarveld::station
