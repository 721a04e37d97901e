#include "directory.h"

#include <algorithm>

namespace kivsdk::sandbox {
namespace {

// Tickets are bounded: the oldest unused ones go first.
constexpr std::size_t kMaxTickets = 65536;

}  // namespace

Directory::Directory() : random_(std::random_device{}()) {}

Account& Directory::account(const std::string& name) {
    auto found = by_name_.find(name);
    if (found != by_name_.end()) return *found->second;
    auto created = std::make_unique<Account>();
    created->id = next_user_id_++;
    created->name = name;
    Account& account = *created;
    by_id_[account.id] = &account;
    by_name_.emplace(name, std::move(created));
    return account;
}

Account* Directory::find(const std::string& name) {
    const auto found = by_name_.find(name);
    return found == by_name_.end() ? nullptr : found->second.get();
}

Account* Directory::find(std::int32_t user_id) {
    const auto found = by_id_.find(user_id);
    return found == by_id_.end() ? nullptr : found->second;
}

Ticket Directory::issue(const std::string& world, std::int32_t user_id) {
    if (tickets_.size() >= kMaxTickets) tickets_.erase(tickets_.begin());
    Ticket ticket;
    for (std::size_t i = 0; i < ticket.size(); i += 8) {
        std::uint64_t bits = random_();
        for (std::size_t j = 0; j < 8; ++j, bits >>= 8) {
            ticket[i + j] = static_cast<unsigned char>(bits);
        }
    }
    tickets_[ticket] = TicketEntry{world, user_id};
    return ticket;
}

std::optional<TicketEntry> Directory::redeem(const Ticket& ticket, const std::string& world) {
    const auto found = tickets_.find(ticket);
    if (found == tickets_.end() || found->second.world != world) return std::nullopt;
    TicketEntry entry = found->second;
    tickets_.erase(found);
    return entry;
}

void Directory::entered(std::int32_t user_id, const std::string& world) {
    presence_.emplace(user_id, world);
}

void Directory::left(std::int32_t user_id, const std::string& world) {
    auto range = presence_.equal_range(user_id);
    for (auto it = range.first; it != range.second; ++it) {
        if (it->second == world) {
            presence_.erase(it);
            return;
        }
    }
}

std::string Directory::world_of(std::int32_t user_id) const {
    const auto found = presence_.find(user_id);
    return found == presence_.end() ? std::string() : found->second;
}

std::int32_t Directory::population(const std::string& world) const {
    return static_cast<std::int32_t>(
        std::count_if(presence_.begin(), presence_.end(),
                      [&](const auto& entry) { return entry.second == world; }));
}

}  // namespace kivsdk::sandbox
