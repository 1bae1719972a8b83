#pragma once

// The workloads of the peer benchmark, written once against the store interface that
// BrindleStore, SqliteStore and LmdbStore share: each runs the same plan in the same order.

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "peer/measurement.h"
#include "peer/store_common.h"
#include "peer/workload_plan.h"

namespace peer {

struct RunOptions {
    double budget_seconds = 10;  // per phase of a wide key; the other workloads run whole
};

template <PeerStore Store>
class WorkloadRunner {
public:
    WorkloadRunner(Store& store, const WorkloadPlan& plan, const RunOptions& options,
                   StoreReport& report)
        : store_(store), plan_(plan), options_(options), report_(report) {}

    // Runs every workload; throws std::runtime_error at the first operation that fails.
    void Run() {
        Mark("at the start");
        BuildTree();
        ReadByPath();
        ReadAndEditThroughHandles();
        ListTree();
        DeleteTree();
        for (const WideKeyPlan& wide : plan_.wide_keys) {
            BuildWideKey(wide);
        }
    }

private:
    using Key = typename Store::Key;

    static void Require(bool done, const char* what) {
        if (!done) {
            throw std::runtime_error(what);
        }
    }

    void Mark(std::string moment) { report_.resident_kib.emplace_back(moment, ResidentKib()); }
    const std::string& PropertyName(uint32_t property) const {
        return plan_.property_names[property];
    }
    const std::string& Tree() const { return plan_.tree_main_key; }

    // Appends each key below its parent and its properties to it, depth first.
    void BuildTree() {
        Require(store_.CreateMainKey(Tree()), "create the tree's main key");
        Key main;
        Require(store_.Open(Tree(), "", main), "open the tree's main key");
        std::vector<Key> branch;  // the open keys from the main key down to the last one
        Stopwatch watch;
        for (size_t i = 0; i < plan_.keys.size(); ++i) {
            const PlannedKey& planned = plan_.keys[i];
            branch.resize(planned.depth);
            Key& parent = planned.depth == 0 ? main : branch.back();
            Key child;
            Require(store_.AppendKey(parent, planned.name, &child), "append a key");
            for (uint32_t p = 0; p < plan_.property_names.size(); ++p) {
                Require(store_.AppendProperty(child, PropertyName(p), plan_.values[i][p]),
                        "append a property");
            }
            branch.push_back(std::move(child));
        }
        const uint64_t operations = plan_.keys.size() + plan_.PropertyCount();
        report_.rows.push_back(
            watch.Stop("build the tree (keys + properties)", operations, operations));
    }

    void ReadByPath() {
        vell::VariableData value;
        Stopwatch watch;
        for (const PropertyPick& pick : plan_.path_reads) {
            Key key;
            Require(store_.Open(Tree(), plan_.keys[pick.key].path, key), "open a key by path");
            Require(store_.ReadProperty(key, PropertyName(pick.property), value), "read");
            report_.read_checksum += HashProperty(PropertyName(pick.property), value);
        }
        const uint64_t count = plan_.path_reads.size();
        report_.rows.push_back(watch.Stop("open by path + read", count, count));
    }

    // Opens every key of the tree (untimed), then reads and edits through those handles.
    void ReadAndEditThroughHandles() {
        std::vector<Key> keys(plan_.keys.size());
        for (size_t i = 0; i < keys.size(); ++i) {
            Require(store_.Open(Tree(), plan_.keys[i].path, keys[i]), "open a key by path");
        }
        Mark("the tree built, all its keys open");
        vell::VariableData value;
        Stopwatch reads;
        for (const PropertyPick& pick : plan_.handle_reads) {
            Require(store_.ReadProperty(keys[pick.key], PropertyName(pick.property), value),
                    "read through a handle");
            report_.read_checksum += HashProperty(PropertyName(pick.property), value);
        }
        const uint64_t read_count = plan_.handle_reads.size();
        report_.rows.push_back(reads.Stop("read through an open handle", read_count, read_count));

        Stopwatch edits;
        for (const EditPick& edit : plan_.edits) {
            Require(store_.EditProperty(keys[edit.target.key], PropertyName(edit.target.property),
                                        edit.value),
                    "edit a property");
        }
        const uint64_t edit_count = plan_.edits.size();
        report_.rows.push_back(edits.Stop("edit a property", edit_count, edit_count));
    }

    // Lists every key, opening each by its path, depth first: its children and properties.
    void ListTree() {
        std::vector<std::string> pending = {""};
        uint64_t entries = 0;
        Stopwatch watch;
        while (!pending.empty()) {
            const std::string path = std::move(pending.back());
            pending.pop_back();
            Key key;
            KeyListing listing;
            Require(store_.Open(Tree(), path, key) && store_.List(key, listing), "list a key");
            entries += listing.children.size() + listing.properties;
            report_.list_checksum += listing.checksum;
            for (std::string& child : listing.children) {
                report_.list_checksum += HashName(child);
                pending.push_back(path.empty() ? std::move(child) : path + "\\" + child);
            }
        }
        report_.listed_entries = entries;
        report_.rows.push_back(watch.Stop("list keys + properties (entries)", entries, entries));
    }

    void DeleteTree() {
        Stopwatch watch;
        for (uint32_t index : plan_.delete_order) {
            Key key;
            Require(store_.Open(Tree(), plan_.keys[index].path, key) && store_.DeleteKey(key),
                    "delete a subtree");
        }
        const uint64_t keys = plan_.keys.size();
        report_.rows.push_back(watch.Stop("delete the tree (keys)", keys, keys));
        Key main;
        KeyListing left;
        Require(store_.Open(Tree(), "", main) && store_.List(main, left) && left.children.empty(),
                "the tree is gone");
    }

    // Appends the children of one wide key, then opens them by path in another order; each
    // phase stops when the time budget runs out.
    void BuildWideKey(const WideKeyPlan& wide) {
        const std::string& main_name = plan_.wide_main_key;
        Key main;
        if (!store_.Open(main_name, "", main)) {
            Require(store_.CreateMainKey(main_name) && store_.Open(main_name, "", main),
                    "create the wide keys' main key");
        }
        Key parent;
        Require(store_.AppendKey(main, wide.name, &parent), "append a wide key");
        const uint64_t count = wide.children.size();
        const std::string label = std::to_string(count) + " children: ";
        uint64_t appended = 0;
        Stopwatch appends;
        for (Deadline deadline(options_.budget_seconds);
             appended < count && !deadline.Passed(appended); ++appended) {
            Require(store_.AppendKey(parent, wide.children[appended], nullptr), "append a child");
        }
        report_.rows.push_back(appends.Stop(label + "append", count, appended));
        Mark("after appending " + std::to_string(appended) + " children to one key");

        uint64_t opened = 0;
        Stopwatch opens;
        Deadline deadline(options_.budget_seconds);
        for (uint32_t index : wide.open_order) {
            if (deadline.Passed(opened)) {
                break;
            }
            if (index >= appended) {
                continue;
            }
            Key child;
            Require(store_.Open(main_name, wide.name + "\\" + wide.children[index], child),
                    "open a child by path");
            ++opened;
        }
        report_.rows.push_back(opens.Stop(label + "open by path", count, opened));
    }

    Store& store_;
    const WorkloadPlan& plan_;
    const RunOptions& options_;
    StoreReport& report_;
};

}  // namespace peer
