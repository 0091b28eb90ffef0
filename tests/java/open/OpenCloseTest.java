import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;

import com.vembor.tarvolex.Tarvolex;
import com.vembor.tarvolex.testing.NullModem;
import java.io.IOException;
import org.junit.jupiter.api.Test;

class OpenCloseTest {
    @Test
    void secondOpenFailsUntilTheFirstIsClosed() throws Exception {
        try (NullModem cable = NullModem.link("COM3", "COM4")) {
            int handle = Tarvolex.doOpen("COM3", 0);
            IOException refused = assertThrows(IOException.class, () -> Tarvolex.doOpen("COM3", 0));
            assertEquals("Connection failed.", refused.getMessage());
            Tarvolex.doClose(handle);
            Tarvolex.doClose(Tarvolex.doOpen("COM3", 0));
        }
    }
}
