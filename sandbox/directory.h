// Directory: what the universe and the worlds of one sandbox share: the
// accounts (created at first login, kept in memory), who is in which world,
// and the world tickets that the universe hands out and a world redeems.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace kivsdk::sandbox {

struct Friend {
    std::int32_t id;       // the friendship's own id, what a delete names
    std::int32_t user_id;  // the friend's account
};

struct Account {
    std::int32_t id = 0;
    std::string name;
    std::vector<Friend> friends;
};

using Ticket = std::array<unsigned char, 32>;

struct TicketEntry {
    std::string world;
    std::int32_t user_id = 0;
};

class Directory {
public:
    Directory();

    // The account of `name`, created on first use.
    Account& account(const std::string& name);
    Account* find(const std::string& name);
    Account* find(std::int32_t user_id);

    // A new friendship id.
    std::int32_t next_friend_id() noexcept { return next_friend_id_++; }

    // A fresh random ticket for entering `world`; single use.
    Ticket issue(const std::string& world, std::int32_t user_id);
    // The entry of `ticket` when it was issued for `world`; it is used up.
    std::optional<TicketEntry> redeem(const Ticket& ticket, const std::string& world);

    // Presence: the world each user is in, counted per world.
    void entered(std::int32_t user_id, const std::string& world);
    void left(std::int32_t user_id, const std::string& world);
    std::string world_of(std::int32_t user_id) const;
    std::int32_t population(const std::string& world) const;

private:
    std::map<std::string, std::unique_ptr<Account>> by_name_;
    std::map<std::int32_t, Account*> by_id_;
    std::map<Ticket, TicketEntry> tickets_;
    std::multimap<std::int32_t, std::string> presence_;
    std::int32_t next_user_id_ = 1;
    std::int32_t next_friend_id_ = 1001;
    std::mt19937_64 random_;
};

}  // namespace kivsdk::sandbox
