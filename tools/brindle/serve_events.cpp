// Live updates of the page: the library's watch feeds an EventHub, and each page listens
// through server-sent events.

#include "brindle/json_property.h"
#include "brindle/key_operations.h"
#include "brindle/serve.h"
#include "brindle_watch.h"

namespace brindle::tool {
namespace {

// A page names keys by their list of names, never by joined text, so any name is exact.
Json NamesToJson(const KeyAddress& address) {
    Json names = Json::array();
    for (const std::string& name : address.Names()) {
        names.push_back(TextToJson(name));
    }
    return names;
}

std::string EventText(const Change& change) {
    return Json{{"seq", change.sequence},
                {"kind", ChangeKindName(change.kind)},
                {"key", NamesToJson(AddressOf(change))},
                {"name", TextToJson(change.name)}}
        .dump();
}

// An idle stream gets a comment now and then, so that a listener that went away is noticed
// and the thread serving it freed.
constexpr std::chrono::milliseconds kQuietWait{2000};

}  // namespace

void EventHub::Publish(std::string event) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        recent_.push_back(std::move(event));
        if (recent_.size() > kKept) {
            recent_.pop_front();
            ++first_;
        }
    }
    changed_.notify_all();
}

uint64_t EventHub::Next() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return first_ + recent_.size();
}

bool EventHub::Wait(uint64_t& next, std::vector<std::string>& events,
                    std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return closed_ || next < first_ + recent_.size(); });
    if (closed_) {
        return false;
    }
    if (next < first_) {
        events.push_back(R"({"kind":"resync"})");
        next = first_;
    }
    for (; next < first_ + recent_.size(); ++next) {
        events.push_back(recent_[next - first_]);
    }
    return true;
}

void EventHub::Close() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
    }
    changed_.notify_all();
}

uint64_t WatchForPages(ServeState& state) {
    void* file = state.database->FileHandle();
    EventHub& events = state.events;
    return Watch(file, "", "", true,
                 [&events](const Change& change) { events.Publish(EventText(change)); });
}

void AddEventRoute(httplib::Server& server, ServeState& state) {
    server.Get("/api/events", [&state](const httplib::Request&, httplib::Response& response) {
        auto next = std::make_shared<uint64_t>(state.events.Next());
        response.set_chunked_content_provider(
            "text/event-stream", [&state, next](std::size_t, httplib::DataSink& sink) {
                std::vector<std::string> events;
                if (!state.events.Wait(*next, events, kQuietWait)) {
                    return false;
                }
                std::string text = events.empty() ? ": quiet\n\n" : "";
                for (const std::string& event : events) {
                    text += "data: " + event + "\n\n";
                }
                return sink.write(text.data(), text.size());
            });
    });
}

}  // namespace brindle::tool
