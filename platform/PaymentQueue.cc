#include "platform/PaymentQueue.h"

#include <algorithm>
#include <utility>

#include "platform/DispatchQueue.h"

PaymentQueue::PaymentQueue(std::shared_ptr<DispatchQueue> deliveryQueue)
    : deliveryQueue_(std::move(deliveryQueue)), state_(std::make_shared<State>()) {
  state_->owner = this;
}

PaymentQueue::~PaymentQueue() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->owner = nullptr;
}

void PaymentQueue::addTransactionObserver(
    const std::shared_ptr<PaymentTransactionObserver>& observer) {
  if (!observer) return;
  PaymentTransactions unfinished;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    for (const auto& existing : state_->observers) {
      if (existing.lock() == observer) return;
    }
    state_->observers.push_back(observer);
    unfinished = state_->transactions;
  }
  if (!unfinished.empty()) deliver(std::move(unfinished), false, observer);
}

void PaymentQueue::removeTransactionObserver(const PaymentTransactionObserver* observer) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->observers.erase(std::remove_if(state_->observers.begin(), state_->observers.end(),
                                         [observer](const auto& weak) {
                                           auto strong = weak.lock();
                                           return !strong || strong.get() == observer;
                                         }),
                          state_->observers.end());
}

std::size_t PaymentQueue::observerCount() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return static_cast<std::size_t>(std::count_if(state_->observers.begin(), state_->observers.end(),
                                                [](const auto& weak) { return !weak.expired(); }));
}

PaymentTransactions PaymentQueue::transactions() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->transactions;
}

bool PaymentQueue::finishTransaction(const std::shared_ptr<const PaymentTransaction>& transaction) {
  if (!transaction || transaction->transactionState == PaymentTransactionState::Purchasing) {
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    auto it = std::find(state_->transactions.begin(), state_->transactions.end(), transaction);
    if (it == state_->transactions.end()) return false;
    state_->transactions.erase(it);
  }
  deliver({transaction}, true);
  return true;
}

void PaymentQueue::pushUpdatedTransactions(PaymentTransactions transactions) {
  transactions.erase(std::remove(transactions.begin(), transactions.end(), nullptr),
                     transactions.end());
  if (transactions.empty()) return;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    for (const auto& transaction : transactions) {
      auto same = state_->transactions.end();
      if (transaction->transactionIdentifier) {
        same = std::find_if(state_->transactions.begin(), state_->transactions.end(),
                            [&](const auto& t) {
                              return t->transactionIdentifier == transaction->transactionIdentifier;
                            });
      }
      if (same != state_->transactions.end()) {
        *same = transaction;
      } else if (std::find(state_->transactions.begin(), state_->transactions.end(), transaction) ==
                 state_->transactions.end()) {
        state_->transactions.push_back(transaction);
      }
    }
  }
  deliver(std::move(transactions), false);
}

void PaymentQueue::deliver(PaymentTransactions transactions, bool removed,
                           std::weak_ptr<PaymentTransactionObserver> only) {
  const bool toOne = !only.expired();
  std::weak_ptr<State> weakState = state_;
  deliveryQueue_->async(
      [weakState, transactions = std::move(transactions), removed, toOne, only = std::move(only)] {
        auto state = weakState.lock();
        auto target = only.lock();
        if (!state || (toOne && !target)) return;
        // Observers as they are when the update is handed out.
        std::vector<std::shared_ptr<PaymentTransactionObserver>> observers;
        PaymentQueue* queue;
        {
          std::lock_guard<std::mutex> lock(state->mutex);
          queue = state->owner;
          if (queue == nullptr) return;
          for (const auto& weak : state->observers) {
            if (auto observer = weak.lock(); observer && (!toOne || observer == target)) {
              observers.push_back(std::move(observer));
            }
          }
        }
        for (const auto& observer : observers) {
          if (removed) {
            observer->paymentQueueRemovedTransactions(*queue, transactions);
          } else {
            observer->paymentQueueUpdatedTransactions(*queue, transactions);
          }
        }
      });
}
