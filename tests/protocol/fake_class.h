// A published server class for the protocol's tests, named "TServerModule1" so that command
// texts read as a real client writes them. Its methods are declared with the catalogue's types
// and run small lambdas; it counts the instances it lends and gets back.
//
//   SQL2OleVariant(in SQLStr: string; out ErrMsg: string): OleVariant
//       "bytes:N" returns an N-byte array (byte i = i mod 251); "raise:TEXT" throws
//       common::Error("EFakeError", TEXT); "nested:A:B" throws A with the cause B; "err:TEXT"
//       sets ErrMsg; anything else returns the text back as a string variant
//   GetServerDateTime(out Reg: Integer): TDateTime      Reg 1000, 2 Jan 1970 12:00:00.250
//   DownLoadFile(in FileName: string; out Size: Integer): OleVariant   null, Size unassigned
//   Echo(in S: string; in I: Integer; in B: Boolean; in D: TDateTime; in V: OleVariant;
//        out RS: string; out RI: Integer; out RB: Boolean; out RD: TDateTime): OleVariant
//   Length(in V: OleVariant): Integer                   the byte count of a byte array
//   Wide(in Len: Integer; in Last: Integer; out S1..S70: string)   S1..S69 Len chars, S70 Last
//   Sleep(in Ms: Integer): Boolean                      sleeps, then true
//   Touch()                                             counts calls
//
// Thread use: instances are used by one connection thread each; the counters are atomic.
#ifndef DATASERVER_TESTS_PROTOCOL_FAKE_CLASS_H_
#define DATASERVER_TESTS_PROTOCOL_FAKE_CLASS_H_

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/datetime.h"
#include "common/error.h"
#include "common/remote_class.h"
#include "common/text.h"
#include "common/variant.h"

namespace protocol::test {

class FakeInstance;

class FakeClass : public common::RemoteClass {
 public:
  explicit FakeClass(common::InstanceLifecycle lifecycle = common::InstanceLifecycle::kSession)
      : lifecycle_(lifecycle) {
    using common::DeclaredType;
    using common::ParamMode;
    constexpr DeclaredType kStr = DeclaredType::kString;
    constexpr DeclaredType kOle = DeclaredType::kOleVariant;
    constexpr DeclaredType kInt = DeclaredType::kInteger;
    constexpr DeclaredType kBool = DeclaredType::kBoolean;
    constexpr DeclaredType kDate = DeclaredType::kDateTime;
    constexpr ParamMode kIn = ParamMode::kIn;
    constexpr ParamMode kOut = ParamMode::kOut;
    methods_ = {
        {"SQL2OleVariant", {{"SQLStr", kStr, kIn}, {"ErrMsg", kStr, kOut}}, kOle},
        {"GetServerDateTime", {{"Reg", kInt, kOut}}, kDate},
        {"DownLoadFile", {{"FileName", kStr, kIn}, {"Size", kInt, kOut}}, kOle},
        {"Echo",
         {{"S", kStr, kIn},
          {"I", kInt, kIn},
          {"B", kBool, kIn},
          {"D", kDate, kIn},
          {"V", kOle, kIn},
          {"RS", kStr, kOut},
          {"RI", kInt, kOut},
          {"RB", kBool, kOut},
          {"RD", kDate, kOut}},
         kOle},
        {"Length", {{"V", kOle, kIn}}, kInt},
        {"Wide", {{"Len", kInt, kIn}, {"Last", kInt, kIn}}, std::nullopt},
        {"Sleep", {{"Ms", kInt, kIn}}, kBool},
        {"Touch", {}, std::nullopt},
    };
    for (int i = 1; i <= 70; ++i) {
      methods_[5].params.push_back({"S" + std::to_string(i), kStr, kOut});
    }
  }

  const std::string& Name() const override {
    static const std::string kName = "TServerModule1";
    return kName;
  }
  const std::vector<common::RemoteMethod>& Methods() const override { return methods_; }
  common::InstanceLifecycle Lifecycle() const override { return lifecycle_; }
  common::RemoteInstance* CreateInstance() override;
  void DestroyInstance(common::RemoteInstance* instance) override;

  // Bounds for hostile arguments (the fuzz target): the largest "bytes:N" and Wide string, and
  // whether Sleep sleeps at all.
  size_t max_bytes = size_t{1} << 26;
  bool sleeps = true;

  int created() const { return created_.load(); }
  int in_use() const { return in_use_.load(); }
  int touches() const { return touches_.load(); }
  void Touched() { ++touches_; }

 private:
  common::InstanceLifecycle lifecycle_;
  std::vector<common::RemoteMethod> methods_;
  std::atomic<int> created_{0};
  std::atomic<int> in_use_{0};
  std::atomic<int> touches_{0};
  std::mutex mutex_;
  std::vector<std::unique_ptr<FakeInstance>> free_;  // returned instances, reused
  std::vector<std::unique_ptr<FakeInstance>> lent_;
};

inline common::Bytes Pattern(size_t n) {
  common::Bytes bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i % 251);
  return bytes;
}

class FakeInstance : public common::RemoteInstance {
 public:
  explicit FakeInstance(FakeClass& owner) : owner_(owner) {}

  void Invoke(size_t method_index, std::vector<common::Variant>& args,
              common::Variant& result) override {
    using common::Variant;
    switch (method_index) {
      case 0: {  // SQL2OleVariant
        args[1] = Variant::String(u"");
        const std::string sql = common::Utf16ToUtf8(args[0].text());
        if (sql.rfind("bytes:", 0) == 0) {
          result = Variant::ByteArray(
              Pattern(std::min<size_t>(std::stoul(sql.substr(6)), owner_.max_bytes)));
        } else if (sql.rfind("raise:", 0) == 0) {
          throw common::Error("EFakeError", sql.substr(6));
        } else if (sql.rfind("nested:", 0) == 0) {
          const size_t colon = sql.find(':', 7);
          try {
            throw std::runtime_error(sql.substr(colon + 1));
          } catch (...) {
            std::throw_with_nested(common::Error("EFakeError", sql.substr(7, colon - 7)));
          }
        } else if (sql.rfind("err:", 0) == 0) {
          args[1] = Variant::String(common::Utf8ToUtf16(sql.substr(4)));
        } else {
          result = args[0];
        }
        return;
      }
      case 1:  // GetServerDateTime
        args[0] = Variant::Integer(1000);
        result = Variant::Date(25569 + 1.5 + 250.0 / 86400000);
        return;
      case 2:  // DownLoadFile: a missing file leaves Size unassigned
        result = Variant::Null();
        return;
      case 3:  // Echo
        args[5] = args[0];
        args[6] = args[1];
        args[7] = args[2];
        args[8] = args[3];
        result = args[4];
        return;
      case 4:  // Length
        result = Variant::Integer(static_cast<int32_t>(args[0].bytes().size()));
        return;
      case 5: {  // Wide
        const size_t len = std::min<size_t>(static_cast<uint32_t>(args[0].int_value()), 65536);
        const size_t last = std::min<size_t>(static_cast<uint32_t>(args[1].int_value()), 65536);
        for (size_t i = 2; i < args.size(); ++i) {
          args[i] = Variant::String(std::u16string(i + 1 == args.size() ? last : len, u'x'));
        }
        return;
      }
      case 6:  // Sleep
        if (owner_.sleeps) {
          std::this_thread::sleep_for(std::chrono::milliseconds(args[0].int_value()));
        }
        result = Variant::Boolean(true);
        return;
      case 7:  // Touch
        owner_.Touched();
        return;
      default:
        throw common::Error("no such method");
    }
  }

 private:
  FakeClass& owner_;
};

inline common::RemoteInstance* FakeClass::CreateInstance() {
  std::lock_guard lock(mutex_);
  std::unique_ptr<FakeInstance> instance;
  if (!free_.empty()) {
    instance = std::move(free_.back());
    free_.pop_back();
  } else {
    instance = std::make_unique<FakeInstance>(*this);
    ++created_;
  }
  ++in_use_;
  lent_.push_back(std::move(instance));
  return lent_.back().get();
}

inline void FakeClass::DestroyInstance(common::RemoteInstance* instance) {
  std::lock_guard lock(mutex_);
  for (auto it = lent_.begin(); it != lent_.end(); ++it) {
    if (it->get() == instance) {
      free_.push_back(std::move(*it));
      lent_.erase(it);
      --in_use_;
      return;
    }
  }
}

}  // namespace protocol::test

#endif  // DATASERVER_TESTS_PROTOCOL_FAKE_CLASS_H_
