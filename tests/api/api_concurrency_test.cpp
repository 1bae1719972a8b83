#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "api/handles.h"
#include "api_test_util.h"
#include "brindle.h"
#include "tree/tree_verifier.h"

namespace brindle {
namespace {

using testing_api::PropertyList;
using testing_api::TestDatabase;

constexpr int kThreads = 8;
constexpr int kOwnMainKeys = 4;  // threads 0-3 each have a main key; 4-7 share one
constexpr auto kRunTime = std::chrono::milliseconds(2000);

// Sub key name -> property name -> value, as acknowledged by the exports.
using Model = std::map<std::string, std::map<std::string, std::string>>;

// One thread's work area: a key of its own (a main key, or a sub key of the shared main
// key) and below it sub keys with properties. Every change the exports acknowledge goes
// into the model; every read is checked against it.
class Worker {
public:
    Worker(void* file, int index)
        : file_(file),
          index_(index),
          main_key_(index < kOwnMainKeys ? "own" + std::to_string(index) : "shared"),
          prefix_(index < kOwnMainKeys ? "" : "t" + std::to_string(index) + "\\"),
          random_(1000 + index) {}

    void Run(std::chrono::steady_clock::time_point deadline) {
        if (!prefix_.empty()) {
            void* shared = Open("");
            std::string area = "t" + std::to_string(index_);
            Expect(BRN_AppendSubKey(shared, area), BRN_OK, "append own area");
            BRN_CloseBRNHandle(shared);
        }
        while (failure_.empty() && std::chrono::steady_clock::now() < deadline) {
            Step();
            ++steps_;
        }
    }

    // Compares the database with the model through fresh handles.
    void Check(void* file) {
        file_ = file;
        void* area = Open(prefix_.empty() ? "" : prefix_.substr(0, prefix_.size() - 1));
        std::list<std::string> names;
        Expect(BRN_SelectSubKeys(area, names), BRN_OK, "list at check");
        std::set<std::string> listed(names.begin(), names.end());
        std::set<std::string> expected;
        for (auto& entry : model_) {
            expected.insert(entry.first);
        }
        if (listed != expected) {
            Fail("sub keys differ from the acknowledged ones");
        }
        for (auto& entry : model_) {
            CheckProperties(entry.first);
        }
        BRN_CloseBRNHandle(area);
    }

    const std::string& failure() const { return failure_; }
    long steps() const { return steps_; }

private:
    void Step() {
        const int choice = Pick(100);
        if (choice < 8 || model_.empty()) {
            AddSubKey();
        } else if (choice < 12) {
            DeleteSubKey();
        } else if (choice < 35) {
            AppendProperty();
        } else if (choice < 50) {
            EditProperty();
        } else if (choice < 58) {
            DeleteProperty();
        } else if (choice < 85) {
            ReadProperty();
        } else if (choice < 92) {
            CheckProperties(AnySubKey());
        } else if (choice < 97) {
            ListMainKeys();
        } else if (index_ < kOwnMainKeys) {
            CreateMainKey();
        } else {
            ReadProperty();
        }
    }

    void AddSubKey() {
        void* area = Open(prefix_.empty() ? "" : prefix_.substr(0, prefix_.size() - 1));
        std::string name = "k" + std::to_string(next_key_++);
        if (Expect(BRN_AppendSubKey(area, name), BRN_OK, "append sub key")) {
            model_[name];
        }
        BRN_CloseBRNHandle(area);
    }

    void DeleteSubKey() {
        std::string name = AnySubKey();
        void* key = Open(prefix_ + name);
        if (Expect(BRN_DeleteKey(key), BRN_OK, "delete sub key")) {
            model_.erase(name);
        }
        BRN_CloseBRNHandle(key);
    }

    void AppendProperty() {
        std::string key_name = AnySubKey();
        std::string property = "p" + std::to_string(Pick(6));
        std::string text = Value();
        void* key = Open(prefix_ + key_name);
        vell::VariableData value(text.c_str());
        const bool exists = model_[key_name].count(property) != 0;
        if (Expect(BRN_AppendProperty(key, property, value),
                   exists ? BRN_ERR_PROPERTY_EXISTS : BRN_OK, "append property") &&
            !exists) {
            model_[key_name][property] = text;
        }
        BRN_CloseBRNHandle(key);
    }

    void EditProperty() {
        std::string key_name = AnySubKey();
        std::string property = "p" + std::to_string(Pick(6));
        std::string text = Value();
        void* key = Open(prefix_ + key_name);
        vell::VariableData value(text.c_str());
        const bool exists = model_[key_name].count(property) != 0;
        if (Expect(BRN_EditProperty(key, property, value),
                   exists ? BRN_OK : BRN_ERR_PROPERTY_NOT_FOUND, "edit property") &&
            exists) {
            model_[key_name][property] = text;
        }
        BRN_CloseBRNHandle(key);
    }

    void DeleteProperty() {
        std::string key_name = AnySubKey();
        std::string property = "p" + std::to_string(Pick(6));
        void* key = Open(prefix_ + key_name);
        const bool exists = model_[key_name].count(property) != 0;
        if (Expect(BRN_DeleteProperty(key, property), exists ? BRN_OK : BRN_ERR_PROPERTY_NOT_FOUND,
                   "delete property")) {
            model_[key_name].erase(property);
        }
        BRN_CloseBRNHandle(key);
    }

    void ReadProperty() {
        std::string key_name = AnySubKey();
        std::string property = "p" + std::to_string(Pick(6));
        void* key = Open(prefix_ + key_name);
        vell::VariableData value;
        auto& stored = model_[key_name];
        auto found = stored.find(property);
        int result = BRN_GetKeyProperty(key, property, value);
        if (found == stored.end()) {
            Expect(result, BRN_ERR_PROPERTY_NOT_FOUND, "read missing property");
        } else if (Expect(result, BRN_OK, "read property") &&
                   (value.GetString() == nullptr || found->second != value.GetString())) {
            Fail("read a value that was not written: " + key_name + "/" + property);
        }
        BRN_CloseBRNHandle(key);
    }

    void CheckProperties(const std::string& key_name) {
        void* key = Open(prefix_ + key_name);
        PropertyList properties;
        Expect(BRN_SelectKeyPropertys(key, properties), BRN_OK, "list properties");
        std::map<std::string, std::string> listed;
        for (auto& [name, value] : properties) {
            listed[name] = value.GetString() != nullptr ? value.GetString() : "<not text>";
        }
        if (listed != model_[key_name]) {
            Fail("properties of " + key_name + " differ from the acknowledged ones");
        }
        BRN_CloseBRNHandle(key);
    }

    void ListMainKeys() {
        void* key = Open("");
        std::list<std::string> names;
        Expect(BRN_GetAllMainKeys(key, names), BRN_OK, "list main keys");
        std::set<std::string> listed(names.begin(), names.end());
        if (listed.count(main_key_) == 0) {
            Fail("own main key not listed");
        }
        BRN_CloseBRNHandle(key);
    }

    void CreateMainKey() {
        void* key = nullptr;
        std::string name = main_key_ + "-x" + std::to_string(next_main_++);
        Expect(BRN_OpenKey(file_, key, name, "", MODE_CREATE), BRN_OK, "create main key");
        vell::VariableData value(1);
        Expect(BRN_AppendProperty(key, "p", value), BRN_OK, "property of new main key");
        BRN_CloseBRNHandle(key);
    }

    void* Open(const std::string& path) {
        void* key = nullptr;
        Expect(BRN_OpenKey(file_, key, main_key_, path, MODE_OPEN), BRN_OK, "open " + path);
        return key;
    }

    std::string AnySubKey() {
        if (model_.empty()) {
            AddSubKey();
        }
        auto it = model_.begin();
        std::advance(it, Pick(static_cast<int>(model_.size())));
        return it->first;
    }

    // Mostly short values; now and then one that spills over several pages.
    std::string Value() {
        const size_t length = Pick(20) == 0 ? 1500 + Pick(2000) : 1 + Pick(40);
        return std::string(length, static_cast<char>('a' + Pick(26))) + std::to_string(steps_);
    }

    int Pick(int bound) { return std::uniform_int_distribution<int>(0, bound - 1)(random_); }

    bool Expect(int result, int expected, const std::string& what) {
        if (result != expected) {
            Fail(what + ": " + std::to_string(result) + " instead of " + std::to_string(expected));
            return false;
        }
        return true;
    }

    void Fail(const std::string& what) {
        if (failure_.empty()) {
            failure_ = "thread " + std::to_string(index_) + ": " + what;
        }
    }

    void* file_;
    const int index_;
    const std::string main_key_;
    const std::string prefix_;  // path of the thread's area below its main key, with "\"
    std::mt19937 random_;
    Model model_;
    int next_key_ = 0;
    int next_main_ = 0;
    long steps_ = 0;
    std::string failure_;
};

TEST(ApiConcurrency, ThreadsInOwnAndSharedMainKeysKeepEveryAcknowledgedChange) {
    TestDatabase db;
    for (int i = 0; i < kOwnMainKeys; ++i) {
        db.Key("own" + std::to_string(i), "", MODE_CREATE);
    }
    db.Key("shared", "", MODE_CREATE);

    std::vector<Worker> workers;
    for (int i = 0; i < kThreads; ++i) {
        workers.emplace_back(db.file(), i);
    }
    const auto deadline = std::chrono::steady_clock::now() + kRunTime;
    std::vector<std::thread> threads;
    for (Worker& worker : workers) {
        threads.emplace_back([&worker, deadline] {
            try {
                worker.Run(deadline);
            } catch (const MDException& e) {
                ADD_FAILURE() << "MDException: " << e.GetMessage();
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    long steps = 0;
    for (Worker& worker : workers) {
        EXPECT_EQ(worker.failure(), "");
        steps += worker.steps();
    }
    EXPECT_GT(steps, kThreads);

    CommonTree& database = *static_cast<BRNFHandle*>(db.file())->database;
    VerifyReport report = TreeVerifier::Verify(*database.Pool());
    EXPECT_TRUE(report.Sound()) << report.Text();

    db.Reopen();  // everything acknowledged is on disk
    for (Worker& worker : workers) {
        worker.Check(db.file());
        EXPECT_EQ(worker.failure(), "");
    }
}

}  // namespace
}  // namespace brindle
