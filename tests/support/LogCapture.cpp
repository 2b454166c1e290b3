#include "support/LogCapture.h"

#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include "platform/Impersonation.h"

namespace veltrix::test {
namespace {

class RecordingSink : public spdlog::sinks::base_sink<std::mutex> {
public:
    explicit RecordingSink(std::shared_ptr<LogCapture::Store> store) : store_(std::move(store)) {}

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        std::lock_guard lock(store_->mutex);
        store_->lines.emplace_back(msg.payload.data(), msg.payload.size());
        if (platform::impersonation::isImpersonating()) store_->asAUser.push_back(store_->lines.back());
    }
    void flush_() override {}

private:
    std::shared_ptr<LogCapture::Store> store_;
};

}  // namespace

LogCapture::LogCapture() : store_(std::make_shared<Store>()), previous_(spdlog::default_logger()) {
    auto logger = std::make_shared<spdlog::logger>("veltrix", std::make_shared<RecordingSink>(store_));
    logger->set_level(spdlog::level::trace);
    spdlog::set_default_logger(logger);
}

LogCapture::~LogCapture() { spdlog::set_default_logger(previous_); }

std::vector<std::string> LogCapture::lines() const {
    std::lock_guard lock(store_->mutex);
    return store_->lines;
}

bool LogCapture::contains(const std::string& text) const { return count(text) > 0; }

std::size_t LogCapture::count(const std::string& text) const {
    std::lock_guard lock(store_->mutex);
    std::size_t n = 0;
    for (const auto& line : store_->lines) n += line.find(text) != std::string::npos;
    return n;
}

std::vector<std::string> LogCapture::linesLoggedAsAUser() const {
    std::lock_guard lock(store_->mutex);
    return store_->asAUser;
}

void LogCapture::clear() {
    std::lock_guard lock(store_->mutex);
    store_->lines.clear();
    store_->asAUser.clear();
}

}  // namespace veltrix::test
