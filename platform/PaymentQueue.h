// The store's payment queue and its transactions. The host platform has no
// store, so the host (or a test) pushes transaction updates, as the store
// would, and the queue hands them to its observers on the delivery queue
// (the main queue, as on the original platform), each update to every
// observer in the order observers were added. Transactions stay in the
// queue until finished; an observer added later is first given the
// unfinished ones. Observers are held weakly. Thread-safe.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class DispatchQueue;
class PaymentQueue;

inline constexpr char kPaymentQueueClassName[] = "SKPaymentQueue";

// The platform's raw values.
enum class PaymentTransactionState : int {
  Purchasing = 0,
  Purchased = 1,
  Failed = 2,
  Restored = 3,
  Deferred = 4,
};

struct Payment {
  std::string productIdentifier;
  int quantity = 1;
};

// One transaction, immutable once pushed; shared between observers.
struct PaymentTransaction {
  // Nothing while purchasing (as on the original platform).
  std::optional<std::string> transactionIdentifier;
  PaymentTransactionState transactionState = PaymentTransactionState::Purchasing;
  Payment payment;
  // Seconds since 1970, when known.
  std::optional<double> transactionDate;
  // The error's code; 0 when the transaction carries no error.
  long errorCode = 0;
  // For restored transactions: the transaction restored.
  std::shared_ptr<const PaymentTransaction> originalTransaction;
};

using PaymentTransactions = std::vector<std::shared_ptr<const PaymentTransaction>>;

class PaymentTransactionObserver {
 public:
  virtual ~PaymentTransactionObserver() = default;
  // paymentQueue:updatedTransactions:, on the delivery queue.
  virtual void paymentQueueUpdatedTransactions(PaymentQueue& queue,
                                               const PaymentTransactions& transactions) = 0;
  // paymentQueue:removedTransactions:, on the delivery queue.
  virtual void paymentQueueRemovedTransactions(PaymentQueue& /*queue*/,
                                               const PaymentTransactions& /*transactions*/) {}
};

class PaymentQueue {
 public:
  explicit PaymentQueue(std::shared_ptr<DispatchQueue> deliveryQueue);
  // Deliveries still queued are dropped.
  ~PaymentQueue();
  PaymentQueue(const PaymentQueue&) = delete;
  PaymentQueue& operator=(const PaymentQueue&) = delete;

  // Adding an observer twice has no effect.
  void addTransactionObserver(const std::shared_ptr<PaymentTransactionObserver>& observer);
  void removeTransactionObserver(const PaymentTransactionObserver* observer);
  std::size_t observerCount() const;

  // Unfinished transactions, in the order they were first pushed.
  PaymentTransactions transactions() const;
  // Removes a transaction from the queue and reports it removed. Refused
  // (false) for a transaction still purchasing and for one not in the queue.
  bool finishTransaction(const std::shared_ptr<const PaymentTransaction>& transaction);

  // --- Host/test: the store -----------------------------------------------------
  // Records the transactions (a transaction with the identifier of one in
  // the queue replaces it) and delivers them as one update.
  void pushUpdatedTransactions(PaymentTransactions transactions);

 private:
  // To every observer, or only to `only` when given (and still observing).
  void deliver(PaymentTransactions transactions, bool removed,
               std::weak_ptr<PaymentTransactionObserver> only = {});

  // Shared with queued deliveries, which find `owner` null once the queue
  // is gone.
  struct State {
    std::mutex mutex;
    PaymentQueue* owner = nullptr;
    std::vector<std::weak_ptr<PaymentTransactionObserver>> observers;
    PaymentTransactions transactions;
  };

  const std::shared_ptr<DispatchQueue> deliveryQueue_;
  const std::shared_ptr<State> state_;
};
