#pragma once

// The chat model client: messages, output schemas, settings, the client and its errors.
#include "chat_model/client.hpp"
#include "chat_model/errors.hpp"
#include "chat_model/output_schema.hpp"
#include "chat_model/settings.hpp"
