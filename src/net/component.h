#pragma once

#include "net/socket_stack.h"

namespace tessarine::net {

// Base of every network component: holds a usage of the socket stack for its whole life.
class TIdComponent {
 public:
  TIdComponent() = default;
  virtual ~TIdComponent() = default;
  TIdComponent(const TIdComponent&) = delete;
  TIdComponent& operator=(const TIdComponent&) = delete;

 private:
  TIdStackUsage m_stackUsage;
};

}  // namespace tessarine::net
