#pragma once

#include <string_view>

namespace pagemate {

// The panel's page when the service's page cannot be shown. "@BASE@" and "@MESSAGE@"
// are filled in (as text) before it is loaded.
inline constexpr std::string_view kPanelFailurePage = R"HTML(<!DOCTYPE html>
<html lang="zh-CN">
<head>
<meta charset="utf-8">
<style>
  html, body { height: 100%; margin: 0; }
  body { display: flex; align-items: center; justify-content: center; background: #ffffff;
         font: 14px/1.6 system-ui, -apple-system, sans-serif; color: #14201b; }
  .box { max-width: 340px; text-align: center; padding: 24px; }
  h1 { font-size: 16px; margin: 0 0 8px; }
  p { color: #6c7d75; word-break: break-all; margin: 6px 0; }
  button { border: 0; border-radius: 8px; padding: 9px 14px; margin: 6px 4px 0; font: inherit;
           cursor: pointer; }
  .primary { background: #0f7a63; color: #ffffff; }
  .light { background: #e6f3ee; color: #0f7a63; }
</style>
</head>
<body>
<div class="box">
  <h1>连不上助手服务</h1>
  <p>@BASE@</p>
  <p>@MESSAGE@</p>
  <button class="primary" onclick="location.reload()">重试</button>
  <button class="light" onclick="window.PGM_HOST &amp;&amp; window.PGM_HOST.post({action:'openSettings'})">打开设置</button>
  <button class="light" onclick="window.PGM_HOST &amp;&amp; window.PGM_HOST.post({action:'openWeb'})">打开网页工作台</button>
</div>
</body>
</html>
)HTML";

}  // namespace pagemate
