// A session's budget of server work: credits that its requests spend
// (request_cost in server/handlers.h) and that time brings back at a steady
// rate, up to a burst. Pure: the caller says what time it is.
#ifndef PALAVER_SERVER_REQUEST_BUDGET_H
#define PALAVER_SERVER_REQUEST_BUDGET_H

#include "server/net.h"

namespace palaver::server {

class RequestBudget {
  public:
    // A `rate` of 0 is no limit. The budget starts full.
    RequestBudget(double rate, double burst, Clock::time_point now);

    // Spends `cost` unless the budget is already overdrawn; the request that
    // overdraws it still goes through, so that no request is too costly to
    // ever be served.
    bool spend(double cost, Clock::time_point now);
    // False when there is no limit: spend() always says yes.
    bool limited() const { return rate_ > 0; }
    // When an overdrawn budget is back in credit.
    Clock::time_point ready_at() const;

  private:
    void refill(Clock::time_point now);

    double rate_;
    double burst_;
    double credits_;
    Clock::time_point at_;
};

}  // namespace palaver::server

#endif
