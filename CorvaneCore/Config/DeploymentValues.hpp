// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Fixed public endpoints and lists that the engine configuration refers to.
// They are kept together so that a deployment changes them in one place; they
// are the build-time defaults of Deployment, which an operator overrides
// without rebuilding (deployment.json).

#include <array>
#include <string_view>

namespace corvane::DeploymentValues {

// The panel address the sign-in form offers until the user types another.
inline constexpr std::string_view defaultPanelURL = "https://panel.corvane.example";

// Connectivity-check host of the URL-test group; it answers /generate_204 with 204.
inline constexpr std::string_view urlTestProbeHost = "www.gstatic.com";
inline constexpr std::string_view urlTestProbeURL = "https://www.gstatic.com/generate_204";

// Whether one outbound reaches the internet: tried in order until one answers.
inline constexpr std::array<std::string_view, 2> reachabilityProbeURLs = {"https://1.1.1.1/cdn-cgi/trace",
                                                                         "https://1.0.0.1/cdn-cgi/trace"};

// Raw location of the public sing-geoip and sing-geosite repositories: the
// rule-set files live on their "rule-set" branch, e.g. <base>sing-geoip/rule-set/geoip-cn.srs.
inline constexpr std::string_view ruleSetBaseURL = "https://raw.githubusercontent.com/SagerNet/";

// DNS-over-HTTPS resolvers as address literals: the engine refuses a server
// given by name unless another resolver resolves it. Both certificates are
// valid for these literals or for the name given below.
// Global resolver, reached through the proxy (Cloudflare; its certificate names 1.1.1.1).
inline constexpr std::string_view proxyResolverAddress = "1.1.1.1";
// Mainland-China resolver, reached directly (AliDNS).
inline constexpr std::string_view directResolverAddress = "223.5.5.5";
inline constexpr std::string_view directResolverTLSName = "dns.alidns.com";

// Large mainland-China consumer services and their image and CDN domains,
// routed direct and resolved by the direct resolver when smart routing is on.
inline constexpr std::array<std::string_view, 48> cnAppDomainSuffixes = {
    // messaging and work chat
    "qq.com", "wechat.com", "qpic.cn", "gtimg.cn", "dingtalk.com", "feishu.cn",
    // payments
    "alipay.com", "alipayobjects.com", "tenpay.com", "unionpay.com",
    // cloud
    "aliyun.com", "aliyuncs.com", "myqcloud.com", "huaweicloud.com",
    // e-commerce
    "taobao.com", "tmall.com", "alicdn.com", "jd.com", "360buyimg.com", "pinduoduo.com", "yangkeduo.com",
    // short video and video
    "douyin.com", "douyinpic.com", "snssdk.com", "kuaishou.com", "bilibili.com", "hdslb.com", "iqiyi.com", "youku.com",
    // search
    "baidu.com", "bdstatic.com", "bdimg.com", "sogou.com", "so.com",
    // portals and social media
    "sina.com.cn", "weibo.com", "sinaimg.cn", "163.com", "126.net", "sohu.com", "zhihu.com", "zhimg.com",
    "xiaohongshu.com", "xhscdn.com",
    // local services and reviews
    "meituan.com", "meituan.net", "dianping.com", "ele.me",
};
static_assert([] {
    for (auto suffix : cnAppDomainSuffixes) {
        if (suffix.empty()) return false;
    }
    return true;
}(), "every domain suffix is filled in");

}  // namespace corvane::DeploymentValues
