<?php
// The environment page in PHP, the way a PHP user would write it: $_SERVER
// as a table, with the same header, document and escaping as varpage.
$now = time();
$expires = gmdate('D, d M Y H:i:s', $now + 60) . ' GMT';
header('Content-type: text/html');
header('Last-Modified: ' . gmdate('D, d M Y H:i:s', $now - 60) . ' GMT');
header('Expires: ' . $expires);
$escape = ['&' => '&amp;', '<' => '&lt;', '>' => '&gt;', "\n" => "\r\n"];
$out = "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01//EN\">\r\n<html>\r\n<head>\r\n"
  . "<meta http-equiv=\"Content-Type\" content=\"text/html\" />\r\n"
  . "<meta http-equiv=\"Pragma\" content=\"no-cache\" />\r\n"
  . "<meta http-equiv=\"Expires\" content=\"$expires\" />\r\n"
  . "<title>Environment Variable List</title>\r\n</head>\r\n<body>\r\n"
  . "<h1>Environment Variable List</h1>\r\n"
  . "<table border=\"1\" cellspacing=\"0\" cellpadding=\"5\" cols=\"2\" frame=\"hsides\" rules=\"rows\">\r\n"
  . "<colgroup span=\"2\">\r\n\t<col />\r\n\t<col />\r\n</colgroup>\r\n"
  . "<thead>\r\n\t<tr>\r\n\t\t<th>environment variable name</th>\r\n"
  . "\t\t<th>environment variable value</th>\r\n\t</tr>\r\n</thead>\r\n<tbody>\r\n";
foreach ($_SERVER as $name => $value) {
  $out .= "\t<tr>\r\n\t\t<td>" . strtr($name, $escape) . "</td>\r\n\t\t<td>"
    . strtr((string)$value, $escape) . "</td>\r\n\t</tr>\r\n";
}
if (!empty($_SERVER['REMOTE_ADDR'])) {
  $host = gethostbyaddr($_SERVER['REMOTE_ADDR']);
  if ($host !== false && $host !== $_SERVER['REMOTE_ADDR']) {
    $out .= "\t<tr>\r\n\t\t<td>\r\n\t\t\tHostName from IPaddr\r\n\t\t</td>\r\n\t\t<td>\r\n\t\t\t"
      . strtr($host, $escape) . "\r\n\t\t</td>\r\n\t</tr>\r\n";
  }
}
echo $out, "</tbody>\r\n</table>\r\n</body>\r\n</html>";
