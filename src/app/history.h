#pragma once
// The last ten delivered images: addresses of uploads and paths of saved files, oldest first.
// Lives in memory only; duplicates are kept.
#include <QString>
#include <deque>

namespace tarvo {

class History
{
public:
    static constexpr std::size_t kCapacity = 10;

    void Add(const QString& text)
    {
        entries_.push_back(text);
        if (entries_.size() > kCapacity) entries_.pop_front();
    }
    void Clear() { entries_.clear(); }
    std::size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }
    const QString& at(std::size_t i) const { return entries_.at(i); }

private:
    std::deque<QString> entries_;
};

} // namespace tarvo
