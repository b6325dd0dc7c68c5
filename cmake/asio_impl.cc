// The single translation unit that holds Asio's compiled parts.
#include <asio/impl/src.hpp>
