#include "help_texts.h"

namespace helpgen {

namespace {

const char* kEnglish = R"(
<h1>Tirvan</h1>
<p class="lead">Tirvan shares the folders you choose on this PC with your phone: at home over
your own network, and on the road through the Tirvan server. This guide shows the way
around.</p>

<h2>1. Log in</h2>
<p>When Tirvan starts for the first time it asks for your Tirvan account: your e-mail address
and your password. Tick <b>Remember password</b> to log in by yourself at the next start. No
account yet? Click <b>Create an account</b> in the login window.</p>

<h2>2. Your data folder</h2>
<p>Tirvan keeps a folder named <b>Tirvan</b> for what your phone sends to the PC, with the
folders <b>Pictures</b>, <b>Music</b>, <b>Videos</b> and <b>Documents</b> inside. The first-run
wizard proposes a place for it; you can choose another one there, or later on the
<b>Settings</b> page with <b>Move...</b>. A move takes all your files along, and Tirvan never
moves the folder into a place that already holds a folder named Tirvan.</p>

<h2>3. Share folders with your phone</h2>
<p>Open Tirvan from its icon in the notification area and go to the <b>Shares</b> page.
<b>Add</b> a folder to let your phone see it, <b>Remove</b> one to hide it again, then click
<b>OK</b>. <b>Cancel</b> forgets the changes. System folders cannot be shared.</p>

<h2>4. Reach the PC from your phone</h2>
<p>Install the Tirvan app on your phone and log in with the same account. At home the phone
finds the PC on the network by itself; elsewhere it reaches the PC through the Tirvan server,
or directly where the network allows it. Your phone can list, open and download the shared
files, send photos and files to the data folder, and see small previews of pictures.</p>

<h2>5. A new device asks to connect</h2>
<p>When a device with another account asks to connect, the Tirvan icon blinks. Click it to
see who asks, then <b>Allow</b> or <b>Refuse</b>. A question that nobody answers is refused
after about 25 seconds.</p>

<h2>6. The tray icon</h2>
<ul>
<li>The icon shows whether Tirvan is logged on, logging on, or a phone is online or
transferring files.</li>
<li>Its menu opens Tirvan, the data folder, the Wi-Fi hotspot, the download page of the
phone app, updates, help and feedback, switches the account, and exits.</li>
</ul>

<h2>7. Wi-Fi hotspot</h2>
<p>With a Wi-Fi adapter that can act as an access point and NetworkManager on the PC, Tirvan
can open a Wi-Fi network for your phone. The window shows the network's name and password.</p>

<h2>8. Updates</h2>
<p>Tirvan looks for a new version when it starts and when you choose <b>Check for updates</b>.
It asks before it installs, and only installs files whose origin it could verify.</p>

<h2>9. Exit</h2>
<p>Choose <b>Exit</b> in the icon's menu. Tirvan stops its service, and your phone no longer
reaches the PC until Tirvan runs again.</p>

<h2>Good to know</h2>
<p>Every device on your home network can see the shared folders: share only on a network
whose members you trust.</p>
)";

const char* kSimplified = R"(
<h1>Tirvan</h1>
<p class="lead">Tirvan 把您在这台电脑上选择的文件夹共享给手机：在家通过您自己的网络，在外通过
Tirvan 服务器。本说明介绍它的使用方法。</p>

<h2>1. 登录</h2>
<p>第一次启动时，Tirvan 会请您输入 Tirvan 账号：电子邮箱和密码。勾选<b>记住密码</b>，下次启动时会自动登录。
还没有账号？请在登录窗口中点击<b>注册账号</b>。</p>

<h2>2. 数据文件夹</h2>
<p>Tirvan 使用一个名为 <b>Tirvan</b> 的文件夹保存手机传到电脑上的内容，其中有<b>图片</b>、<b>音乐</b>、
<b>视频</b>和<b>文档</b>四个文件夹。首次运行向导会推荐一个位置，您也可以另选位置，或者以后在<b>设置</b>页面中用
<b>移动...</b>更改。移动时所有文件都会一起移过去；如果目标位置已有名为 Tirvan 的文件夹，Tirvan 不会移动。</p>

<h2>3. 共享文件夹给手机</h2>
<p>点击通知区域中的 Tirvan 图标打开程序，进入<b>共享</b>页面。点击<b>添加</b>让手机看到某个文件夹，
点击<b>删除</b>取消共享，然后点击<b>确定</b>。点击<b>取消</b>则放弃这些更改。系统文件夹不能共享。</p>

<h2>4. 用手机访问电脑</h2>
<p>在手机上安装 Tirvan 客户端，并用同一账号登录。在家时手机会自动在网络中找到电脑；在外时通过 Tirvan
服务器访问电脑，网络允许时也可以直接连接。手机可以浏览、打开和下载共享的文件，把照片和文件传到数据文件夹，
并查看图片的缩略图。</p>

<h2>5. 有新设备请求连接</h2>
<p>当使用其他账号的设备请求连接时，Tirvan 图标会闪烁。点击图标查看是谁在请求，然后选择<b>允许</b>或<b>拒绝</b>。
无人应答的请求约 25 秒后会被自动拒绝。</p>

<h2>6. 通知区域图标</h2>
<ul>
<li>图标显示 Tirvan 是否已登录、正在登录，以及是否有手机在线或正在传输文件。</li>
<li>图标菜单可以打开 Tirvan、数据文件夹、Wi-Fi 热点、手机客户端下载页、检查更新、帮助和意见反馈，
也可以切换账号和退出程序。</li>
</ul>

<h2>7. Wi-Fi 热点</h2>
<p>如果电脑有支持热点模式的无线网卡并安装了 NetworkManager，Tirvan 可以为手机开启一个 Wi-Fi 网络。
窗口中会显示网络名称和密码。</p>

<h2>8. 更新</h2>
<p>Tirvan 在启动时以及您选择<b>检查更新</b>时查找新版本。安装前会先询问您，并且只安装能够验证来源的文件。</p>

<h2>9. 退出</h2>
<p>在图标菜单中选择<b>退出</b>。Tirvan 会停止其服务，在再次运行 Tirvan 之前，手机将无法访问这台电脑。</p>

<h2>注意</h2>
<p>家庭网络中的每台设备都能看到共享的文件夹：请只在成员可信的网络中共享。</p>
)";

const char* kTraditional = R"(
<h1>Tirvan</h1>
<p class="lead">Tirvan 把您在這台電腦上選擇的資料夾分享給手機：在家透過您自己的網路，在外透過
Tirvan 伺服器。本說明介紹它的使用方法。</p>

<h2>1. 登入</h2>
<p>第一次啟動時，Tirvan 會請您輸入 Tirvan 帳號：電子郵件和密碼。勾選<b>記住密碼</b>，下次啟動時會自動登入。
還沒有帳號？請在登入視窗中點擊<b>註冊帳號</b>。</p>

<h2>2. 資料資料夾</h2>
<p>Tirvan 使用一個名為 <b>Tirvan</b> 的資料夾儲存手機傳到電腦上的內容，其中有<b>圖片</b>、<b>音樂</b>、
<b>影片</b>和<b>文件</b>四個資料夾。首次執行精靈會建議一個位置，您也可以另選位置，或者以後在<b>設定</b>頁面中用
<b>移動...</b>變更。移動時所有檔案都會一起移過去；如果目標位置已有名為 Tirvan 的資料夾，Tirvan 不會移動。</p>

<h2>3. 分享資料夾給手機</h2>
<p>點擊通知區域中的 Tirvan 圖示開啟程式，進入<b>分享</b>頁面。點擊<b>新增</b>讓手機看到某個資料夾，
點擊<b>刪除</b>取消分享，然後點擊<b>確定</b>。點擊<b>取消</b>則放棄這些變更。系統資料夾不能分享。</p>

<h2>4. 用手機存取電腦</h2>
<p>在手機上安裝 Tirvan 用戶端，並用同一帳號登入。在家時手機會自動在網路中找到電腦；在外時透過 Tirvan
伺服器存取電腦，網路允許時也可以直接連線。手機可以瀏覽、開啟和下載分享的檔案，把照片和檔案傳到資料資料夾，
並查看圖片的縮圖。</p>

<h2>5. 有新裝置請求連接</h2>
<p>當使用其他帳號的裝置請求連接時，Tirvan 圖示會閃爍。點擊圖示查看是誰在請求，然後選擇<b>允許</b>或<b>拒絕</b>。
無人回應的請求約 25 秒後會被自動拒絕。</p>

<h2>6. 通知區域圖示</h2>
<ul>
<li>圖示顯示 Tirvan 是否已登入、正在登入，以及是否有手機上線或正在傳輸檔案。</li>
<li>圖示選單可以開啟 Tirvan、資料資料夾、Wi-Fi 熱點、手機用戶端下載頁、檢查更新、說明和意見回饋，
也可以切換帳號和結束程式。</li>
</ul>

<h2>7. Wi-Fi 熱點</h2>
<p>如果電腦有支援熱點模式的無線網卡並安裝了 NetworkManager，Tirvan 可以為手機開啟一個 Wi-Fi 網路。
視窗中會顯示網路名稱和密碼。</p>

<h2>8. 更新</h2>
<p>Tirvan 在啟動時以及您選擇<b>檢查更新</b>時尋找新版本。安裝前會先詢問您，並且只安裝能夠驗證來源的檔案。</p>

<h2>9. 結束</h2>
<p>在圖示選單中選擇<b>結束</b>。Tirvan 會停止其服務，在再次執行 Tirvan 之前，手機將無法存取這台電腦。</p>

<h2>注意</h2>
<p>家用網路中的每台裝置都能看到分享的資料夾：請只在成員可信任的網路中分享。</p>
)";

}  // namespace

HelpText HelpFor(int language) {
  switch (language) {
    case 0:
      return {"Tirvan帮助说明.pdf", "zh-CN", QString::fromUtf8(kSimplified)};
    case 2:
      return {"Tirvan幫助說明.pdf", "zh-TW", QString::fromUtf8(kTraditional)};
    default:
      return {"Instructions for Tirvan.pdf", "en", QString::fromUtf8(kEnglish)};
  }
}

}  // namespace helpgen
