// Placeholder with the agreed interface; replaced by the pipeline's own header at merge.
#pragma once
#include "API.hpp"
#include "JSON.hpp"
#include "Storage.hpp"
#include <functional>
#include <stop_token>
#include <string>
namespace BuildPipeline {
using Event = std::function<void(const std::string&)>;
void build(const JSON& job, const std::string& lease, const Credentials& credentials, const API& api, const Event& event, std::stop_token stop = {});
void install(const JSON& job, const std::string& lease, const Credentials& credentials, const API& api, const Event& event, std::stop_token stop = {});
}
