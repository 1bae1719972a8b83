#include <gtest/gtest.h>

#include <chrono>
#include <map>
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
constexpr int kOwnMainKeys = 4;  // threads 0-3 have a main key each; 4-7 share one

// One thread's area (its own main key, or its own sub key of the shared main key) with sub
// keys and properties below it. Every change the exports acknowledge goes into the model
// (sub key -> property -> text); every read is checked against it.
class Worker {
public:
    Worker(void* file, int index)
        : file_(file),
          index_(index),
          main_key_(index < kOwnMainKeys ? "own" + std::to_string(index) : "shared"),
          area_(index < kOwnMainKeys ? "" : "t" + std::to_string(index)),
          random_(1000 + index) {}

    void Run(std::chrono::steady_clock::time_point deadline) {
        if (!area_.empty()) {
            void* shared = Open("");
            std::string area = area_;
            Expect(BRN_AppendSubKey(shared, area), BRN_OK, "append area");
            BRN_CloseBRNHandle(shared);
        }
        while (failure_.empty() && std::chrono::steady_clock::now() < deadline) {
            Step(Pick(100));
            ++steps_;
        }
    }

    // Compares everything in the area with the model, through fresh handles.
    void Check(void* file) {
        file_ = file;
        void* area = Open(area_);
        testing_api::Names names;
        Expect(BRN_SelectSubKeys(area, names), BRN_OK, "list sub keys");
        std::set<std::string> expected;
        for (auto& entry : model_) {
            expected.insert(entry.first);
            CheckProperties(entry.first);
        }
        if (std::set<std::string>(names.begin(), names.end()) != expected) {
            Fail("sub keys differ from the acknowledged ones");
        }
        BRN_CloseBRNHandle(area);
    }

    const std::string& failure() const { return failure_; }
    long steps() const { return steps_; }

private:
    void Step(int choice) {
        if (choice < 8 || model_.empty()) {
            void* area = Open(area_);
            std::string name = "k" + std::to_string(next_key_++);
            if (Expect(BRN_AppendSubKey(area, name), BRN_OK, "append sub key")) {
                model_[name];
            }
            BRN_CloseBRNHandle(area);
            return;
        }
        auto sub_key = model_.begin();
        std::advance(sub_key, Pick(static_cast<int>(model_.size())));
        auto& properties = sub_key->second;
        const std::string property = "p" + std::to_string(Pick(6));
        const bool exists = properties.count(property) != 0;
        const std::string text(Pick(20) == 0 ? 1500 + Pick(2000) : 1 + Pick(40), 'a' + Pick(26));
        vell::VariableData value(text.c_str());
        void* key = Open(Path(sub_key->first));
        if (choice < 12) {
            if (Expect(BRN_DeleteKey(key), BRN_OK, "delete sub key")) {
                model_.erase(sub_key);
            }
        } else if (choice < 35) {
            if (Expect(BRN_AppendProperty(key, property, value),
                       exists ? BRN_ERR_PROPERTY_EXISTS : BRN_OK, "append") &&
                !exists) {
                properties[property] = text;
            }
        } else if (choice < 50) {
            if (Expect(BRN_EditProperty(key, property, value),
                       exists ? BRN_OK : BRN_ERR_PROPERTY_NOT_FOUND, "edit") &&
                exists) {
                properties[property] = text;
            }
        } else if (choice < 58) {
            if (Expect(BRN_DeleteProperty(key, property),
                       exists ? BRN_OK : BRN_ERR_PROPERTY_NOT_FOUND, "delete")) {
                properties.erase(property);
            }
        } else if (choice < 85) {
            int result = BRN_GetKeyProperty(key, property, value);
            if (Expect(result, exists ? BRN_OK : BRN_ERR_PROPERTY_NOT_FOUND, "read") && exists &&
                properties[property] != value.GetString()) {
                Fail("read a value that was not written");
            }
        } else if (choice < 97 || index_ >= kOwnMainKeys) {
            CheckProperties(sub_key->first);
            testing_api::Names names;
            Expect(BRN_GetAllMainKeys(key, names), BRN_OK, "list main keys");
        } else {
            // A new main key while others work below theirs.
            void* created = nullptr;
            std::string name = main_key_ + "-x" + std::to_string(next_key_++);
            Expect(BRN_OpenKey(file_, created, name, "", MODE_CREATE), BRN_OK, "create main key");
            Expect(BRN_AppendProperty(created, "p", value), BRN_OK, "property of main key");
            BRN_CloseBRNHandle(created);
        }
        BRN_CloseBRNHandle(key);
    }

    void CheckProperties(const std::string& sub_key) {
        void* key = Open(Path(sub_key));
        PropertyList listed;
        Expect(BRN_SelectKeyPropertys(key, listed), BRN_OK, "list properties");
        std::map<std::string, std::string> texts;
        for (auto& [name, value] : listed) {
            texts[name] = value.GetString() != nullptr ? value.GetString() : "<not text>";
        }
        if (texts != model_[sub_key]) {
            Fail("properties of " + sub_key + " differ from the acknowledged ones");
        }
        BRN_CloseBRNHandle(key);
    }

    std::string Path(const std::string& sub_key) const {
        return area_.empty() ? sub_key : area_ + "\\" + sub_key;
    }
    void* Open(const std::string& path) {
        void* key = nullptr;
        Expect(BRN_OpenKey(file_, key, main_key_, path, MODE_OPEN), BRN_OK, "open " + path);
        return key;
    }
    int Pick(int bound) { return std::uniform_int_distribution<int>(0, bound - 1)(random_); }
    bool Expect(int result, int expected, const std::string& what) {
        if (result != expected) {
            Fail(what + ": " + std::to_string(result) + " instead of " + std::to_string(expected));
        }
        return result == expected;
    }
    void Fail(const std::string& what) {
        if (failure_.empty()) {
            failure_ = "thread " + std::to_string(index_) + ": " + what;
        }
    }

    void* file_;
    const int index_;
    const std::string main_key_;
    const std::string area_;  // path of the thread's area below its main key
    std::mt19937 random_;
    std::map<std::string, std::map<std::string, std::string>> model_;
    int next_key_ = 0;
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
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
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
    long steps = 0;
    for (int i = 0; i < kThreads; ++i) {
        threads[i].join();
        EXPECT_EQ(workers[i].failure(), "");
        steps += workers[i].steps();
    }
    EXPECT_GT(steps, kThreads);
    CommonTree& database = *static_cast<BRNFHandle*>(db.file())->database;
    VerifyReport report = TreeVerifier::Verify(*database.Pool());
    EXPECT_TRUE(report.Sound()) << report.Text();
    EXPECT_TRUE(database.Tree()->CheckIndexes().empty());  // built and changed by all threads

    db.Reopen();  // everything acknowledged is on disk
    for (Worker& worker : workers) {
        worker.Check(db.file());
        EXPECT_EQ(worker.failure(), "");
    }
}

}  // namespace
}  // namespace brindle
