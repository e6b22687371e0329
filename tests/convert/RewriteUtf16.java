// Rewrites an XML document as Java's Transformer does to a UTF-16 stream:
// java RewriteUtf16.java SOURCE TARGET
import java.io.File;
import java.io.FileOutputStream;
import java.io.OutputStreamWriter;
import java.nio.charset.StandardCharsets;
import javax.xml.transform.OutputKeys;
import javax.xml.transform.TransformerFactory;
import javax.xml.transform.stream.StreamResult;
import javax.xml.transform.stream.StreamSource;

public class RewriteUtf16 {
  public static void main(String[] args) throws Exception {
    var transformer = TransformerFactory.newInstance().newTransformer();
    transformer.setOutputProperty(OutputKeys.ENCODING, "UTF-16");
    try (var out = new OutputStreamWriter(new FileOutputStream(args[1]), StandardCharsets.UTF_16)) {
      transformer.transform(new StreamSource(new File(args[0])), new StreamResult(out));
    }
  }
}
